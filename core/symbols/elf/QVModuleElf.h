#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "symbols/QVModule.h"
#include "symbols/QVSymbolOwner.h"
#include "system/QVMachine.h"

namespace Quorvel {

class QVElfImage;
class QVModuleElfReader;
class QVSymbol;

// A module read from an ELF image, in a file or in memory (the vdso). Its
// sections are the image's allocated sections at their link-time addresses
// (attributes: executable for SHF_EXECINSTR, writable for SHF_WRITE,
// file-backed unless SHT_NOBITS; always allocated). Section ids carry the
// ELF section index.
//
// Opening a module reads the headers only. Symbols are read the first time
// a section is asked for one (each symbol registered under the id of its
// section and its position in the symbol table); line tables the first
// time a symbol is asked for lines. A stripped image takes its symbols and
// lines from its separate debug file under /usr/lib/debug (through
// QVSystemPaths), found on first need.
//
// A file that is not a valid ELF image gives a module without sections
// (and a logged warning).
class QVModuleElf : public QVModule, public QVSymbolOwner {
 public:
  // `offset` must be 0: images inside other files are not read.
  QVModuleElf(const QVModuleId& moduleId, const std::string& path, uint64_t offset, const std::string& name);
  // Copies the bytes.
  QVModuleElf(const QVModuleId& moduleId, const void* bytes, size_t length, const std::string& name);
  ~QVModuleElf() override;

  // The module of the ELF file at `path`: the one registered, or one made
  // and registered now under the file's id and `architecture` (the file's
  // own when not given). Null when `path` is not a regular ELF file the
  // effective user can read. Where several threads ask for the same new
  // file at once, all get the one that was registered first.
  static std::shared_ptr<QVModule> moduleForFile(const std::string& path,
                                                 std::optional<QVArchitecture> architecture = std::nullopt);

  bool isValid() const;
  // Null when the image could not be read.
  std::shared_ptr<const QVElfImage> image() const;

  // The lowest loadable segment address (rounded down to a page), or the
  // lowest section address for images without segments.
  uint64_t baseAddress() const override;

  // Assembler labels by name, with their link-time addresses; reads the
  // symbol table when it was not yet read.
  const std::unordered_map<std::string, uint64_t>& labels() const;
  // The preferred symbol of that name, or an empty pointer; loads the
  // section that holds it.
  std::shared_ptr<QVSymbol> symbolNamed(const std::string& name) const;
  // Every symbol of every section, loading them all.
  void getSymbols(std::vector<std::shared_ptr<QVSymbol>>& symbols) const;

  bool getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const override;
  bool getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const override;
  bool haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const override;
  bool getRelocationEntriesForSymbol(const QVSymbol& symbol, std::vector<QVSymbolRelocation>& entries) const override;
  bool haveRelocationEntriesForSymbol(const QVSymbol& symbol) const override;
  bool getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const override;

 private:
  void _open(std::shared_ptr<const QVElfImage> image);

  std::shared_ptr<QVModuleElfReader> reader_;
};

}  // namespace Quorvel
