#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ranges/QVRange.h"
#include "ranges/QVRangeMap.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolOwner.h"

namespace Quorvel {

class QVSection;

// The kernel image ("vmlinux") or one loaded kernel module, as a module of
// the kernel process with a single code section over its kernel address
// range.
//
// Its symbols come from /proc/kallsyms, which gives start addresses only:
// they are added one by one (_addSymbolAtAddress) and then stretched so that
// each reaches the next (_fixSymbolRanges). The ELF file on disk that backs
// the module (the uncompressed image, or the module's ".ko" file), when one
// is found, answers what kallsyms cannot: symbol data, source locations,
// relocations and properties, looked up by symbol name.
//
// The module is identified by its name within one boot of one machine.
// A compressed kernel image is decompressed into a temporary file that lives
// as long as the module object.
//
// Symbols are added while the kernel process is being built, before the
// module is shared; afterwards lookups from several threads only read.
class QVKernelModuleLinux : public QVModule,
                            public QVSymbolOwner,
                            public std::enable_shared_from_this<QVKernelModuleLinux> {
 public:
  using SymbolMap = QVRangeMap<int, std::shared_ptr<QVSymbol>>;

  // The symbols by offset from the module start. Shared with the module's
  // section, so that a section that outlives its module still answers.
  struct SymbolTable {
    mutable std::shared_mutex lock;
    SymbolMap map;
  };

  // The name of the kernel image module.
  static const char* const kKernelImageName;  // "vmlinux"

  // Set when QV_KERNEL_MODULE_LINUX_DEBUG is in the environment at load.
  static bool debug;

  // Finds the backing file (and decompresses it if need be) and opens it;
  // a module without one still takes symbols. May throw when the module
  // cannot be built.
  QVKernelModuleLinux(const std::string& name, const QVRange<unsigned long>& range);
  ~QVKernelModuleLinux() override;

  // The backing file; empty when none was found.
  const std::string& path() const override;
  virtual const QVRange<unsigned long>& addressRange() const;
  // Moves the module (and its section) in kernel memory. Moving a module
  // that already has symbols is logged as an error, since their offsets
  // were taken from the old start.
  virtual void setAddressRange(const QVRange<unsigned long>& range);

  // Each answers through the backing module's symbol of the same name and
  // type; without one, false or an empty result.
  bool getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const override;
  bool getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const override;
  bool haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const override;
  bool getRelocationEntriesForSymbol(const QVSymbol& symbol, std::vector<QVSymbolRelocation>& entries) const override;
  bool haveRelocationEntriesForSymbol(const QVSymbol& symbol) const override;
  bool getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const override;

  // The ELF module of the backing file; empty when none is used.
  const std::shared_ptr<QVModule>& backingModule() const { return backingModule_; }
  // The single code section.
  std::shared_ptr<QVSection> section() const;
  std::shared_ptr<const SymbolTable> symbolTable() const { return symbols_; }
  // The symbol whose range holds the offset from the module start, with
  // that range; nothing found gives an empty pointer and range 0/0.
  std::shared_ptr<QVSymbol> symbolAtOffset(int offset, QVRange<int>& range) const;
  // Every symbol with its range, in offset order.
  void getSymbols(std::vector<std::pair<QVRange<int>, std::shared_ptr<QVSymbol>>>& symbols) const;
  size_t symbolCount() const;
  // Temporary files made for this module (decompressed images).
  const std::vector<std::string>& tempFiles() const { return tempFiles_; }

  // Builds the map from module names to ".ko" files under
  // /lib/modules/<release>. Runs once; again only when the system paths'
  // fixture root has changed since.
  static void _init();
  // The ".ko" path for a module name as kallsyms writes it ("-" and "_"
  // are the same there); empty when unknown.
  static std::string _modulePathForName(const std::string& name);

  void _addSymbolAtAddress(unsigned long address, const std::string& name, QVSymbol::Type type,
                           QVSymbol::Visibility visibility);
  // Stretches every symbol to the next one; the first starts at offset 0
  // and the last reaches the module's end.
  void _fixSymbolRanges();
  std::shared_ptr<QVSymbol> _getBackingSymbolForSymbol(const QVSymbol& symbol) const;
  // A new, empty temporary file whose path is recorded for removal; false
  // (and an error logged) when none can be made.
  bool _createTempFile(std::string& path);
  void _cleanupTempFiles();

 private:
  std::string _findKernelImage();
  std::string _findModuleFile() const;
  // Decompresses a gzip file into a new temporary file; its path, or empty.
  std::string _decompress(const std::string& source);
  void _openBackingModule();
  void _makeSection();

  std::string path_;
  QVRange<unsigned long> addressRange_;
  std::shared_ptr<QVModule> backingModule_;
  std::unordered_map<std::string, std::shared_ptr<QVSymbol>> backingSymbols_;
  std::unordered_map<std::string, int> backingLabels_;
  std::shared_ptr<SymbolTable> symbols_;
  std::vector<std::string> tempFiles_;
};

}  // namespace Quorvel
