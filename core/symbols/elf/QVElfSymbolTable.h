#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace Quorvel {

class QVElfImage;

// One symbol table entry. The value is what the table says: a link-time
// address in executables and shared objects, a section offset in
// relocatable objects. ARM Thumb functions have their mode bit cleared.
struct QVElfSymbol {
  std::string name;
  uint64_t value = 0;
  uint64_t size = 0;
  uint8_t type = 0;        // STT_*
  uint8_t binding = 0;     // STB_*
  uint8_t visibility = 0;  // STV_*
  uint16_t sectionIndex = 0;

  bool isFunction() const;
  bool covers(uint64_t address) const { return address >= value && address - value < size; }
};

// The symbols of one ELF image: its .symtab, or its .dynsym when it was
// stripped. Undefined, section, file and TLS entries are left out. Size-0
// untyped names (assembler labels, ARM mapping symbols) go to labels() so
// that they never hide the function around them. Built completely in the
// constructor and immutable afterwards: lookups may run concurrently.
class QVElfSymbolTable {
 public:
  enum class Source { None, SymbolTable, DynamicSymbolTable };

  explicit QVElfSymbolTable(const QVElfImage& image);
  // Symbols from a separate debug file of a stripped image. The debug file
  // keeps the stripped file's section headers, so its values and section
  // indexes hold for the stripped image as they are.
  QVElfSymbolTable(const QVElfImage& image, const QVElfImage& debugFile);

  Source source() const { return source_; }
  // Why nothing could be read; empty when the table was read (even if the
  // image simply has no symbols).
  const std::string& error() const { return error_; }

  // By value; among aliases of one value the preferred (see symbolAt)
  // comes first.
  const std::vector<QVElfSymbol>& symbols() const { return symbols_; }
  const std::vector<QVElfSymbol>& labels() const { return labels_; }

  // The symbol that covers the address (value <= address < value + size),
  // the innermost when they nest; failing that, the nearest preceding
  // symbol of size 0 in the same section, since hand-written code often
  // has no sizes. Null when the address falls in a gap between sized
  // symbols or outside every section. Among aliases, a function beats an
  // object, global beats weak beats local, then the lowest name wins.
  const QVElfSymbol* symbolAt(uint64_t address) const;

  // The preferred symbol (same rule as above) of that name, or null.
  const QVElfSymbol* symbolNamed(const std::string& name) const;
  // Whether the name occurs only as a label.
  bool isLabelOnly(const std::string& name) const;

 private:
  struct SectionBounds {
    uint64_t start = 0;
    uint64_t end = 0;
  };

  void _read(const QVElfImage& symbolFile);
  void _buildIndex();

  Source source_ = Source::None;
  std::string error_;
  std::vector<QVElfSymbol> symbols_;
  std::vector<QVElfSymbol> labels_;
  // One entry per distinct value, pointing at the preferred alias; the
  // search runs over this.
  std::vector<size_t> primary_;
  // For each primary entry, the nearest earlier primary entry whose extent
  // reaches past its start, or npos: the chain of symbols enclosing it.
  std::vector<size_t> enclosing_;
  std::unordered_map<std::string, size_t> byName_;
  std::unordered_map<std::string, size_t> labelNames_;
  // Section extents by header index, for the size-0 fallback.
  std::vector<SectionBounds> sectionBounds_;
};

}  // namespace Quorvel
