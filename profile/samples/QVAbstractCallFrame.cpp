#include "samples/QVAbstractCallFrame.h"

#include <cstdint>
#include <ostream>

#include "base/QVFormat.h"
#include "samples/QVSymbolSource.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"

namespace Quorvel {

namespace {
template <class T>
const std::shared_ptr<T>& Empty() {
  static const std::shared_ptr<T> empty;
  return empty;
}
}  // namespace

void QVAbstractCallFrame::getDescription(std::ostream& os, bool showAddress, bool showName, bool demangle,
                                         bool showSize, bool showSymbolInfoA, bool showSymbolInfoB, bool showFile,
                                         bool showLine, bool showModule) const {
  QVRange<uint64_t> symbolRange;
  const std::shared_ptr<QVSymbol>& symbol = this->symbol(symbolRange);

  // A hidden address still shows when nothing named stands in for it, so a
  // frame never prints as nothing.
  if (showAddress || !symbol || symbol->name().empty()) {
    const std::ios_base::fmtflags flags = os.flags();
    os << std::hex << std::showbase << address() << " ";
    os.flags(flags);
  }
  if (showName && symbol) {
    os << (demangle ? symbol->demangledName() : symbol->name()) << " ";
  }
  if (showSize && symbol) {
    os << "[" << FormatSizeBytes(static_cast<uint64_t>(static_cast<uint32_t>(symbol->size()))) << "] ";
  }
  if ((showSymbolInfoA || showSymbolInfoB) && symbol) {
    os << "[";
    if (showSymbolInfoA) {
      symbol->printAttributeA(os);
    }
    if (showSymbolInfoA && showSymbolInfoB) {
      os << ", ";
    }
    if (showSymbolInfoB) {
      symbol->printAttributeB(os);
    }
    os << "]";
  }
  if (showFile || showLine) {
    int line = 0;
    const QVFileId file = sourceLocation(line);
    os << " @";
    if (showFile && file.isValid()) {
      os << file.path();
    }
    if (showLine) {
      os << ":" << line;
    }
    os << " ";
  }
  if (showModule) {
    if (const std::shared_ptr<QVModule>& module = this->module()) {
      os << " [" << module->name() << "]";
    }
  }
}

void QVAbstractCallFrame::getDefaultDescription(std::ostream& os) const {
  getDescription(os, true, true, true, false, false, false, false, false, true);
}

const std::shared_ptr<QVSymbol>& QVAbstractCallFrame::_symbolFromSource(const QVSymbolSource* source,
                                                                        QVRange<uint64_t>& range) const {
  if (source == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return Empty<QVSymbol>();
  }
  return source->symbolForCallFrame(*this, range);
}

const std::shared_ptr<QVSection>& QVAbstractCallFrame::_sectionFromSource(const QVSymbolSource* source,
                                                                          QVRange<uint64_t>& range) const {
  if (source == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return Empty<QVSection>();
  }
  return source->sectionForCallFrame(*this, range);
}

const std::shared_ptr<QVModule>& QVAbstractCallFrame::_moduleFromSource(const QVSymbolSource* source) const {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSection>& section = _sectionFromSource(source, range);
  if (!section) {
    return Empty<QVModule>();
  }
  return QVModule::moduleWithId(section->sectionId().asModuleId());
}

QVFileId QVAbstractCallFrame::_sourceLocationFromSource(const QVSymbolSource* source, int& line) const {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = _symbolFromSource(source, range);
  if (!symbol) {
    return QVFileId::invalid();
  }
  // Line tables are keyed by offsets into the symbol, which fit an int for
  // any real function; a frame outside its symbol's range finds nothing.
  const uint64_t offset = lookupAddress() - range.location;
  if (offset > static_cast<uint64_t>(INT32_MAX)) {
    return QVFileId::invalid();
  }
  QVFileId file;
  int foundLine = 0;
  if (!symbol->sourceLineForOffset(static_cast<int>(offset), file, foundLine)) {
    return QVFileId::invalid();
  }
  line = foundLine;
  return file;
}

std::ostream& operator<<(std::ostream& os, const QVAbstractCallFrame& frame) {
  frame.getDefaultDescription(os);
  return os;
}

}  // namespace Quorvel
