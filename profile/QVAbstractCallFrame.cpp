#include "QVAbstractCallFrame.h"

#include <ostream>

#include "QVFormat.h"
#include "QVModule.h"
#include "QVSymbol.h"

namespace Quorvel {

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

}  // namespace Quorvel
