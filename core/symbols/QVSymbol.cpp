#include "symbols/QVSymbol.h"

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <unordered_map>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<QVSymbolId, std::shared_ptr<QVSymbol>> symbols;
  // Decoded sections find their symbols here, since a session file lists
  // symbols apart from the sections that hold them.
  std::unordered_map<QVSectionId, std::vector<std::shared_ptr<QVSymbol>>> bySection;
};

Registry& SharedRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

const std::shared_ptr<QVSymbol> kNoSymbol;

std::string Demangle(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) {
    std::free(text);
    return name;
  }
  std::string result(text);
  std::free(text);
  return result;
}

template <class E>
E EnumFromArchive(int64_t value, E lowest, E highest, E fallback) {
  return value >= lowest && value <= highest ? static_cast<E>(value) : fallback;
}

}  // namespace

QVSymbol::QVSymbol() = default;

QVSymbol::QVSymbol(const QVSymbolId& symbolId, const std::string& name, Type type, Visibility visibility,
                   QVArchitecture architecture)
    : symbolId_(symbolId), name_(name), type_(type), visibility_(visibility), architecture_(architecture) {}

QVSymbol::~QVSymbol() = default;

const std::string& QVSymbol::demangledName() const {
  std::call_once(demangleOnce_, [this] { demangledName_ = Demangle(name_); });
  return demangledName_;
}

void QVSymbol::setOwner(const std::weak_ptr<const QVSymbolOwner>& owner) {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  owner_ = owner;
}

std::shared_ptr<const QVSymbolOwner> QVSymbol::owner() const {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  return owner_.lock();
}

void QVSymbol::_loadSourceLocations() const {
  std::lock_guard<std::mutex> lock(ownerMutex_);
  if (sourceLoaded_.load(std::memory_order_acquire)) {
    return;
  }
  // Without an owner there is nothing to ask yet; one may still be set.
  if (std::shared_ptr<const QVSymbolOwner> owner = owner_.lock()) {
    owner->getSourceLocationsForSymbol(*this, sourceLocations_);
    sourceLoaded_.store(true, std::memory_order_release);
  }
}

const QVSymbolSourceMap& QVSymbol::sourceLocations() const {
  if (!sourceLoaded_.load(std::memory_order_acquire)) {
    _loadSourceLocations();
  }
  return sourceLocations_;
}

bool QVSymbol::sourceLineForOffset(int offset, QVFileId& file, int& line) const {
  return sourceLocations().lineForOffset(offset, file, line);
}

bool QVSymbol::haveSourceLocationInfo() const {
  if (sourceLoaded_.load(std::memory_order_acquire)) {
    return !sourceLocations_.empty();
  }
  std::shared_ptr<const QVSymbolOwner> owner = this->owner();
  return owner && owner->haveSourceLocationInfoForSymbol(*this);
}

bool QVSymbol::getData(std::vector<unsigned char>& data) const {
  data.clear();
  std::shared_ptr<const QVSymbolOwner> owner = this->owner();
  return owner && owner->getDataForSymbol(*this, data);
}

bool QVSymbol::getRelocationEntries(std::vector<QVSymbolRelocation>& entries) const {
  entries.clear();
  std::shared_ptr<const QVSymbolOwner> owner = this->owner();
  return owner && owner->getRelocationEntriesForSymbol(*this, entries);
}

bool QVSymbol::haveRelocationEntries() const {
  std::shared_ptr<const QVSymbolOwner> owner = this->owner();
  return owner && owner->haveRelocationEntriesForSymbol(*this);
}

const char* QVSymbol::visibilityWord(Visibility visibility) {
  switch (visibility) {
    case VisibilityLocal:
      return "local";
    case VisibilityGlobal:
      return "global";
    case VisibilityWeak:
      return "weak";
  }
  return "unknown";
}

const char* QVSymbol::typeWord(Type type) {
  switch (type) {
    case TypeCode:
      return "code";
    case TypeData:
      return "data";
    case TypeLabel:
      return "label";
    case TypeUnknown:
      break;
  }
  return "unknown";
}

void QVSymbol::printAttributeA(std::ostream& os) const { os << visibilityWord(visibility_); }

void QVSymbol::printAttributeB(std::ostream& os) const { os << typeWord(type_); }

void QVSymbol::getDescription(std::ostream& os) const {
  os << name_ << " [" << sectionRange_.location << "+" << sectionRange_.length << "]";
}

void QVSymbol::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(symbolId_, "SymbolId");
  archiver->encodeString(name_, "Name");
  archiver->encodeSigned(type_, "Type");
  archiver->encodeSigned(visibility_, "Visibility");
  archiver->encodeString(ArchitectureToString(architecture_), "Arch");
  archiver->encodeSigned(sectionRange_.location, "Offset");
  archiver->encodeSigned(sectionRange_.length, "Size");
  archiver->encodeObject(properties_, "Properties");
  archiver->encodeObject(sourceLocations(), "SourceLocations");
}

void QVSymbol::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVSymbolId> symbolId;
  unarchiver->decodeObjectForKey("SymbolId", symbolId);
  symbolId_ = *symbolId;
  unarchiver->decodeString("Name", name_);
  type_ = EnumFromArchive(unarchiver->decodeSigned("Type"), TypeUnknown, TypeLabel, TypeUnknown);
  visibility_ =
      EnumFromArchive(unarchiver->decodeSigned("Visibility"), VisibilityLocal, VisibilityWeak, VisibilityLocal);
  std::string architecture;
  unarchiver->decodeString("Arch", architecture);
  architecture_ = ArchitectureFromString(architecture);
  const int64_t offset = unarchiver->decodeSigned("Offset");
  const int64_t size = unarchiver->decodeSigned("Size");
  if (offset < 0 || offset > INT32_MAX || size < 0 || size > INT32_MAX) {
    throw QVException("symbol range out of bounds: offset " + std::to_string(offset) + " size " +
                          std::to_string(size),
                      __LINE__, __FILE__);
  }
  sectionRange_ = QVRange<int>(static_cast<int>(offset), static_cast<int>(size));
  unarchiver->decodeObject("Properties", properties_);
  std::lock_guard<std::mutex> lock(ownerMutex_);
  if (unarchiver->hasValueForKey("SourceLocations")) {
    unarchiver->decodeObject("SourceLocations", sourceLocations_);
  }
  // The document is all there is to know about a decoded symbol.
  sourceLoaded_.store(true, std::memory_order_release);
}

void QVSymbol::registerSymbol(const std::shared_ptr<QVSymbol>& symbol) {
  if (!symbol || !symbol->symbolId().isValid()) {
    throw QVException("invalid symbol id", __LINE__, __FILE__);
  }
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto inserted = registry.symbols.emplace(symbol->symbolId(), symbol);
  if (!inserted.second) {
    if (inserted.first->second != symbol) {
      std::ostringstream message;
      message << "duplicate symbol id: " << symbol->symbolId();
      throw QVException(message.str(), __LINE__, __FILE__);
    }
    return;
  }
  registry.bySection[symbol->symbolId().asSectionId()].push_back(symbol);
}

const std::shared_ptr<QVSymbol>& QVSymbol::symbolWithId(const QVSymbolId& symbolId) {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.symbols.find(symbolId);
  return found != registry.symbols.end() ? found->second : kNoSymbol;
}

void QVSymbol::getRegisteredSymbolsForSection(const QVSectionId& sectionId,
                                              std::vector<std::shared_ptr<QVSymbol>>& symbols) {
  symbols.clear();
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.bySection.find(sectionId);
  if (found != registry.bySection.end()) {
    symbols = found->second;
  }
}

void QVSymbol::flushRegisteredSymbols() {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.symbols.clear();
  registry.bySection.clear();
}

std::ostream& operator<<(std::ostream& os, const QVSymbol& symbol) {
  symbol.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSymbol>& symbol) {
  if (symbol) {
    symbol->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
