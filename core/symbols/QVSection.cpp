#include "symbols/QVSection.h"

#include <ostream>
#include <unordered_set>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "symbols/QVSymbol.h"

namespace Quorvel {

namespace {
const std::shared_ptr<QVSymbol> kNoSymbol;
}  // namespace

QVSection::QVSection() = default;

QVSection::QVSection(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
                     const QVRange<unsigned long>& addressRange, const QVRange<long>& fileRange)
    : sectionId_(sectionId), name_(name), attributes_(attributes), addressRange_(addressRange), fileRange_(fileRange) {}

QVSection::~QVSection() = default;

void QVSection::_ensureSymbolsLoaded() {
  if (loaded_.load(std::memory_order_acquire)) {
    return;
  }
  std::call_once(loadOnce_, [this] {
    _loadDefinedSymbols();
    loaded_.store(true, std::memory_order_release);
  });
}

bool QVSection::symbolsLoaded() const { return loaded_.load(std::memory_order_acquire); }

const std::shared_ptr<QVSymbol>& QVSection::symbolAtSectionOffset(int offset, QVRange<int>& range, bool load) {
  if (load) {
    _ensureSymbolsLoaded();
  }
  std::shared_lock<std::shared_mutex> lock(symbolsMutex_);
  const std::shared_ptr<QVSymbol>& symbol = symbols_.valueAndRangeForLocation(offset, range, true);
  if (!symbol) {
    range = QVRange<int>(0, 0);
    return kNoSymbol;
  }
  return symbol;
}

void QVSection::setSymbolForRange(const std::shared_ptr<QVSymbol>& symbol, const QVRange<int>& range) {
  std::unique_lock<std::shared_mutex> lock(symbolsMutex_);
  symbols_.setValueForRange(symbol, range);
}

void QVSection::getSymbols(std::vector<std::shared_ptr<QVSymbol>>& symbols, bool load) {
  if (load) {
    _ensureSymbolsLoaded();
  }
  std::vector<std::shared_ptr<QVSymbol>> values;
  {
    std::shared_lock<std::shared_mutex> lock(symbolsMutex_);
    symbols_.SWIG_getValues(values);
  }
  // A symbol split by a nested one holds several ranges.
  std::unordered_set<const QVSymbol*> seen;
  symbols.clear();
  for (std::shared_ptr<QVSymbol>& symbol : values) {
    if (symbol && seen.insert(symbol.get()).second) {
      symbols.push_back(std::move(symbol));
    }
  }
}

void QVSection::_loadDefinedSymbols() {
  std::vector<std::shared_ptr<QVSymbol>> registered;
  QVSymbol::getRegisteredSymbolsForSection(sectionId_, registered);
  for (const std::shared_ptr<QVSymbol>& symbol : registered) {
    setSymbolForRange(symbol, symbol->sectionRange());
  }
}

void QVSection::getDescription(std::ostream& os) const {
  const std::ios_base::fmtflags flags = os.flags();
  os << name_ << " " << addressRange_ << " attributes 0x" << std::hex << attributes_;
  os.flags(flags);
}

void QVSection::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(sectionId_, "SectionId");
  archiver->encodeString(name_, "Name");
  archiver->encodeUnsigned(attributes_, "Attributes");
  archiver->encodeObject(addressRange_, "AddressRange");
  archiver->encodeObject(fileRange_, "FileRange");
}

void QVSection::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVSectionId> sectionId;
  unarchiver->decodeObjectForKey("SectionId", sectionId);
  sectionId_ = *sectionId;
  unarchiver->decodeString("Name", name_);
  attributes_ = static_cast<unsigned>(unarchiver->decodeUnsigned("Attributes"));
  unarchiver->decodeObject("AddressRange", addressRange_);
  unarchiver->decodeObject("FileRange", fileRange_);
}

std::ostream& operator<<(std::ostream& os, const QVSection& section) {
  section.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSection>& section) {
  if (section) {
    section->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
