#include "Linux/kernel/QVKernelModuleLinux.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include <boost/filesystem.hpp>
#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_streambuf.hpp>

#include "base/QVLog.h"
#include "data/QVPropertyMap.h"
#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "Linux/kernel/QVKernelSectionLinux.h"
#include "symbols/elf/QVModuleElf.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbolId.h"
#include "symbols/QVSymbolSourceMap.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

const char* const QVKernelModuleLinux::kKernelImageName = "vmlinux";

bool QVKernelModuleLinux::debug = std::getenv("QV_KERNEL_MODULE_LINUX_DEBUG") != nullptr;

namespace {

// Kernel code, allocated and file-backed: what the module's one section is.
constexpr unsigned kKernelSectionAttributes = 11;

// Module files live in a fixed tree of the running kernel; the name map is
// built from it once. Tests point the system paths at fixture trees, so the
// map remembers which root it was built for.
struct ModuleNamePaths {
  std::mutex lock;
  bool built = false;
  uint64_t generation = 0;
  std::unordered_map<std::string, std::string> moduleNamePathMap;
};

ModuleNamePaths& NamePaths() {
  static ModuleNamePaths paths;
  return paths;
}

std::string Underscored(std::string name) {
  for (char& c : name) {
    if (c == '-') {
      c = '_';
    }
  }
  return name;
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

bool ReadableFile(const std::string& path) { return FileExists(path) && FileCanRead(path); }

std::string Hex(unsigned long value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

}  // namespace

QVKernelModuleLinux::QVKernelModuleLinux(const std::string& name, const QVRange<unsigned long>& range)
    : QVModule(QVModuleId::uniqueModuleId(
                   QVFileId::uniqueFileId(QVSystemId::currentSystemId(), name, LocalMachineBootTime()),
                   LocalMachineArchitecture()),
               "", 0, name),
      addressRange_(range),
      symbols_(std::make_shared<SymbolTable>()) {
  _init();
  try {
    path_ = name == kKernelImageName ? _findKernelImage() : _findModuleFile();
    if (path_.empty()) {
      QV_WARNING("unknown backing path for kernel module " << Quoted(name) << "  at " << range);
    } else {
      _openBackingModule();
    }
    _makeSection();
  } catch (...) {
    // The destructor does not run for a half-built object, and a
    // decompressed image must not be left behind.
    _cleanupTempFiles();
    throw;
  }
}

QVKernelModuleLinux::~QVKernelModuleLinux() { _cleanupTempFiles(); }

const std::string& QVKernelModuleLinux::path() const { return path_; }

const QVRange<unsigned long>& QVKernelModuleLinux::addressRange() const { return addressRange_; }

void QVKernelModuleLinux::setAddressRange(const QVRange<unsigned long>& range) {
  if (symbolCount() > 0 && range.location != addressRange_.location) {
    QV_ERROR("setting new address range for Linux kernel module with existing symbols " << moduleId());
  }
  addressRange_ = range;
  // A section's address range is fixed when it is made, and the process
  // places sections by that range.
  _makeSection();
}

std::shared_ptr<QVSection> QVKernelModuleLinux::section() const {
  std::vector<std::shared_ptr<QVSection>> all = sections();
  return all.empty() ? nullptr : all.front();
}

void QVKernelModuleLinux::_makeSection() {
  const QVSectionId sectionId = QVSectionId::uniqueSectionId(moduleId(), 0);
  auto section = std::make_shared<QVKernelSectionLinux>(
      sectionId, ".text", kKernelSectionAttributes, addressRange_,
      QVRange<long>(0, static_cast<long>(addressRange_.length)), symbols_);
  setSections({section});
}

// --- backing files -------------------------------------------------------

void QVKernelModuleLinux::_init() {
  ModuleNamePaths& paths = NamePaths();
  std::lock_guard<std::mutex> lock(paths.lock);
  if (paths.built && paths.generation == QVSystemPaths::generation()) {
    return;
  }
  paths.built = true;
  paths.generation = QVSystemPaths::generation();
  paths.moduleNamePathMap.clear();

  const std::string directory = QVSystemPaths::path("/lib/modules/" + LocalMachineKernelVersion());
  if (!DirectoryExists(directory)) {
    QV_DEBUG("kernel module directory " << directory << " not found");
    return;
  }
  namespace fs = boost::filesystem;
  boost::system::error_code error;
  fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, error);
  // Unreadable corners of the tree are skipped rather than ending the walk:
  // module trees mix root-only and world-readable directories.
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    boost::system::error_code statusError;
    if (!fs::is_regular_file(it->path(), statusError) || it->path().extension() != ".ko") {
      continue;
    }
    const std::string name = Underscored(it->path().stem().string());
    const std::string path = it->path().string();
    paths.moduleNamePathMap[name] = path;
    if (debug) {
      QV_DEBUG("mapped module '" << name << "' -> " << path);
    }
  }
}

std::string QVKernelModuleLinux::_modulePathForName(const std::string& name) {
  _init();
  ModuleNamePaths& paths = NamePaths();
  std::lock_guard<std::mutex> lock(paths.lock);
  auto found = paths.moduleNamePathMap.find(Underscored(name));
  return found == paths.moduleNamePathMap.end() ? std::string() : found->second;
}

std::string QVKernelModuleLinux::_findKernelImage() {
  const std::string release = LocalMachineKernelVersion();
  std::string path;
  if (const char* variable = std::getenv("VESK_VMLINUX")) {
    if (ReadableFile(variable)) {
      path = variable;
    } else {
      QV_WARNING("failed to find or open " << variable << " for reading");
    }
  }
  if (path.empty()) {
    const std::string plain[] = {"/usr/lib/debug/lib/modules/" + release + "/vmlinux", "/boot/vmlinux-" + release,
                                 "/boot/vmlinux"};
    for (const std::string& candidate : plain) {
      const std::string resolved = QVSystemPaths::path(candidate);
      if (ReadableFile(resolved)) {
        path = resolved;
        break;
      }
    }
  }
  if (path.empty()) {
    const std::string compressed[] = {"/boot/vmlinux-" + release + ".gz", "/boot/vmlinux.gz"};
    for (const std::string& candidate : compressed) {
      const std::string resolved = QVSystemPaths::path(candidate);
      if (ReadableFile(resolved)) {
        path = _decompress(resolved);
        break;
      }
    }
  }
  if (!path.empty() && debug) {
    QV_DEBUG("using vmlinux at " << path);
  }
  return path;
}

std::string QVKernelModuleLinux::_findModuleFile() const {
  const std::string path = _modulePathForName(name());
  if (path.empty()) {
    QV_WARNING("unable to resolve module name " << Quoted(name()) << " to path");
  } else if (debug) {
    QV_DEBUG("resolved module name " << Quoted(name()) << " -> " << path);
  }
  return path;
}

bool QVKernelModuleLinux::_createTempFile(std::string& path) {
  // The template "/var/tmp/quorvel-kernelmodule.XXXXXX": /var/tmp because a
  // decompressed kernel image is large and /tmp is often memory-backed.
  path = CreateTempFile("/var/tmp", "quorvel-kernelmodule.");
  if (path.empty()) {
    QV_ERROR("failed to create temp file");
    return false;
  }
  tempFiles_.push_back(path);
  return true;
}

std::string QVKernelModuleLinux::_decompress(const std::string& source) {
  std::string target;
  if (!_createTempFile(target)) {
    return std::string();
  }
  std::ifstream in(source, std::ios::in | std::ios::binary);
  if (!in) {
    QV_ERROR("failed to open " << source << " for reading");
    return std::string();
  }
  std::ofstream out(target, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out) {
    QV_ERROR("failed to open " << target << " for writing");
    return std::string();
  }
  try {
    namespace io = boost::iostreams;
    io::filtering_streambuf<io::input> decompressed;
    decompressed.push(io::gzip_decompressor());
    decompressed.push(in);
    io::copy(decompressed, out);
  } catch (const std::exception&) {
    QV_ERROR("exception occurred while uncompressing " << source << " to " << target);
    return std::string();
  }
  // copy() has flushed and closed both ends; a write that failed on the
  // way (a full disk) shows only in the stream's state.
  if (out.fail()) {
    QV_ERROR("exception occurred while uncompressing " << source << " to " << target);
    return std::string();
  }
  return target;
}

void QVKernelModuleLinux::_cleanupTempFiles() {
  for (const std::string& path : tempFiles_) {
    if (FileRemove(path)) {
      if (debug) {
        QV_DEBUG("deleted temp file " << path);
      }
    } else {
      QV_WARNING("failed to delete temp file " << path);
    }
  }
  tempFiles_.clear();
}

void QVKernelModuleLinux::_openBackingModule() {
  const QVModuleId backingId =
      QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path_), LocalMachineArchitecture());
  if (QVModule::moduleWithId(backingId)) {
    QV_WARNING("ignoring backing module for kernel module " << Quoted(name())
                                                            << " due to duplicate module id: " << backingId);
    return;
  }
  auto elf = std::make_shared<QVModuleElf>(backingId, path_, 0, name());
  QVModule::registerModule(elf);
  backingModule_ = elf;

  std::vector<std::shared_ptr<QVSymbol>> symbols;
  elf->getSymbols(symbols);
  for (const std::shared_ptr<QVSymbol>& symbol : symbols) {
    backingSymbols_.emplace(symbol->name(), symbol);
  }
  for (const auto& label : elf->labels()) {
    backingLabels_.emplace(label.first, static_cast<int>(label.second));
  }
}

// --- symbols ---------------------------------------------------------------

void QVKernelModuleLinux::_addSymbolAtAddress(unsigned long address, const std::string& name, QVSymbol::Type type,
                                              QVSymbol::Visibility visibility) {
  if (backingSymbols_.count(name) == 0 && backingLabels_.count(name) != 0) {
    if (debug) {
      QV_DEBUG("ignoring label " << name << " at 0x" << Hex(address));
    }
    return;
  }
  // Kernel modules are far smaller than 2 GiB, so an offset fits 32 bits.
  const int offset = static_cast<int>(static_cast<uint32_t>(address - addressRange_.location));

  std::unique_lock<std::shared_mutex> lock(symbols_->lock);
  const std::shared_ptr<QVSymbol>& existing = symbols_->map.valueForLocation(offset, true);
  if (existing) {
    if (existing->name() == name && existing->type() == type && existing->visibility() == visibility) {
      if (debug) {
        QV_DEBUG("skipping duplicate " << this->name() << " symbol " << Quoted(name) << " @ address 0x"
                                       << Hex(address));
      }
      return;
    }
    if (existing->visibility() == QVSymbol::VisibilityGlobal && visibility == QVSymbol::VisibilityGlobal) {
      if (debug) {
        QV_DEBUG("unable to add " << this->name() << " global symbol " << Quoted(name) << " @ address 0x"
                                  << Hex(address) << " due to collision with " << existing);
      }
      return;
    }
    // A local symbol at the address of another is usually an alias the
    // compiler made; the later one of the pair takes the address.
  }
  const QVSectionId sectionId = QVSectionId::uniqueSectionId(moduleId(), 0);
  auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(sectionId, offset), name, type, visibility,
                                           LocalMachineArchitecture());
  const QVRange<int> range(offset, 1);
  symbol->setSectionRange(range);
  // Set once the module is shared: only then can the symbol find its way
  // back here for line questions.
  symbol->setOwner(weak_from_this());
  symbols_->map.setValueForRange(symbol, range);
}

void QVKernelModuleLinux::_fixSymbolRanges() {
  std::unique_lock<std::shared_mutex> lock(symbols_->lock);
  symbols_->map.fillGapsInRange(QVRange<int>(0, static_cast<int>(addressRange_.length)));
  // The symbols carry their own extent into descriptions and session files.
  symbols_->map.tree().forEachInOrder([](const auto* node) { node->value->setSectionRange(node->key); });
}

std::shared_ptr<QVSymbol> QVKernelModuleLinux::symbolAtOffset(int offset, QVRange<int>& range) const {
  std::shared_lock<std::shared_mutex> lock(symbols_->lock);
  return symbols_->map.valueAndRangeForLocation(offset, range, true);
}

void QVKernelModuleLinux::getSymbols(std::vector<std::pair<QVRange<int>, std::shared_ptr<QVSymbol>>>& symbols) const {
  symbols.clear();
  std::shared_lock<std::shared_mutex> lock(symbols_->lock);
  symbols_->map.tree().forEachInOrder(
      [&symbols](const auto* node) { symbols.emplace_back(node->key, node->value); });
}

size_t QVKernelModuleLinux::symbolCount() const {
  std::shared_lock<std::shared_mutex> lock(symbols_->lock);
  return symbols_->map.size();
}

std::shared_ptr<QVSymbol> QVKernelModuleLinux::_getBackingSymbolForSymbol(const QVSymbol& symbol) const {
  if (!backingModule_) {
    if (debug) {
      QV_DEBUG("no backing module for " << name());
    }
    return nullptr;
  }
  auto found = backingSymbols_.find(symbol.name());
  if (found != backingSymbols_.end()) {
    if (found->second->type() == symbol.type()) {
      return found->second;
    }
    if (debug) {
      QV_DEBUG("mismatched backing symbol type for " << name() << symbol << " != " << found->second);
    }
    return nullptr;
  }
  if (!debug) {
    return nullptr;
  }
  if (backingLabels_.count(symbol.name()) != 0) {
    QV_DEBUG("only have label for " << name() << symbol.name());
  } else {
    QV_DEBUG("unknown backing symbol for " << name() << symbol.name());
  }
  return nullptr;
}

bool QVKernelModuleLinux::getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const {
  data.clear();
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  return backing && backing->getData(data);
}

bool QVKernelModuleLinux::getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const {
  locations.clear();
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  if (!backing) {
    return false;
  }
  locations.copyFrom(backing->sourceLocations());
  return !locations.empty();
}

bool QVKernelModuleLinux::haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const {
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  return backing && backing->haveSourceLocationInfo();
}

bool QVKernelModuleLinux::getRelocationEntriesForSymbol(const QVSymbol& symbol,
                                                        std::vector<QVSymbolRelocation>& entries) const {
  entries.clear();
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  return backing && backing->getRelocationEntries(entries);
}

bool QVKernelModuleLinux::haveRelocationEntriesForSymbol(const QVSymbol& symbol) const {
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  return backing && backing->haveRelocationEntries();
}

bool QVKernelModuleLinux::getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const {
  properties.clear();
  std::shared_ptr<QVSymbol> backing = _getBackingSymbolForSymbol(symbol);
  if (!backing) {
    return false;
  }
  properties = backing->properties();
  return true;
}

}  // namespace Quorvel
