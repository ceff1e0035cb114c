#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "symbols/QVModuleId.h"
#include "symbols/QVSymbolOwner.h"

namespace Quorvel {

class QVDwarfLineTable;
class QVElfImage;
class QVElfSymbolTable;
class QVSection;
class QVSymbol;

// What an ELF module reads on demand, shared by the module, its sections
// and (weakly) its symbols, so that a section kept by a process map can
// still load its symbols after the module itself was dropped.
//
// Nothing is read at construction. The symbol table (the image's own, or
// its separate debug file's when the image was stripped) is read on the
// first symbol lookup in any section; each section creates its symbols on
// its own first lookup; line tables are read on the first line question
// about a symbol. All members are thread-safe.
class QVModuleElfReader : public QVSymbolOwner, public std::enable_shared_from_this<QVModuleElfReader> {
 public:
  QVModuleElfReader(const QVModuleId& moduleId, std::shared_ptr<const QVElfImage> image);
  ~QVModuleElfReader() override;
  QVModuleElfReader(const QVModuleElfReader&) = delete;
  QVModuleElfReader& operator=(const QVModuleElfReader&) = delete;

  const QVModuleId& moduleId() const { return moduleId_; }
  const std::shared_ptr<const QVElfImage>& image() const { return image_; }

  // Creates, registers and places the symbols of one section of this
  // module (its id's index is the ELF section index). A symbol already
  // registered under the same id and name is reused, so that two readers
  // of one file share their symbols.
  void loadSectionSymbols(QVSection& section);

  // Null when no table could be read.
  const QVElfSymbolTable* symbolTable() const;
  // Assembler labels by name, with their link-time addresses.
  const std::unordered_map<std::string, uint64_t>& labels() const;
  // The separate debug file, when the image needs one and it was found.
  std::shared_ptr<const QVElfImage> debugImage() const;

  bool getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const override;
  bool getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const override;
  bool haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const override;
  bool getRelocationEntriesForSymbol(const QVSymbol& symbol, std::vector<QVSymbolRelocation>& entries) const override;
  bool haveRelocationEntriesForSymbol(const QVSymbol& symbol) const override;
  bool getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const override;

 private:
  void _locateDebugFile() const;
  void _readSymbolTable() const;
  QVDwarfLineTable* _lineTable() const;
  // The symbol's link-time start address; false when it is not one of this
  // module's symbols.
  bool _symbolAddress(const QVSymbol& symbol, uint64_t& address) const;
  bool _relocations(const QVSymbol& symbol, std::vector<QVSymbolRelocation>* entries) const;

  QVModuleId moduleId_;
  std::shared_ptr<const QVElfImage> image_;

  mutable std::once_flag debugOnce_;
  mutable std::shared_ptr<const QVElfImage> debugImage_;
  mutable std::once_flag tableOnce_;
  mutable std::unique_ptr<QVElfSymbolTable> table_;
  mutable std::unordered_map<std::string, uint64_t> labels_;
  mutable std::once_flag linesOnce_;
  mutable std::unique_ptr<QVDwarfLineTable> lines_;
};

}  // namespace Quorvel
