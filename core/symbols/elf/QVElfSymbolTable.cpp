#include "symbols/elf/QVElfSymbolTable.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <mutex>
#include <tuple>

#include "base/QVLog.h"
#include "symbols/elf/QVElfImage.h"

namespace Quorvel {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

int BindingRank(uint8_t binding) {
  switch (binding) {
    case STB_GLOBAL:
      return 0;
    case STB_WEAK:
      return 1;
    case STB_LOCAL:
      return 2;
    default:
      return 3;
  }
}

// Sort key: by value, then the alias a user would want to see first.
bool Precedes(const QVElfSymbol& a, const QVElfSymbol& b) {
  const int aFunction = a.isFunction() ? 0 : 1;
  const int bFunction = b.isFunction() ? 0 : 1;
  return std::make_tuple(a.value, aFunction, BindingRank(a.binding), b.size, std::cref(a.name)) <
         std::make_tuple(b.value, bFunction, BindingRank(b.binding), a.size, std::cref(b.name));
}

// Names that only mark a place: assembler labels and ARM mapping symbols
// ("$a", "$d", "$t", "$x" and their ".n" forms). They have no type and no
// size, and would otherwise pose as functions of zero length.
bool IsLabel(const GElf_Sym& symbol) {
  return GELF_ST_TYPE(symbol.st_info) == STT_NOTYPE && symbol.st_size == 0;
}

Elf_Scn* FindSymbolSection(Elf* elf, uint32_t type) {
  Elf_Scn* scn = nullptr;
  while ((scn = elf_nextscn(elf, scn)) != nullptr) {
    GElf_Shdr header;
    if (gelf_getshdr(scn, &header) && header.sh_type == type && header.sh_size > 0) {
      return scn;
    }
  }
  return nullptr;
}

}  // namespace

bool QVElfSymbol::isFunction() const { return type == STT_FUNC || type == STT_GNU_IFUNC; }

QVElfSymbolTable::QVElfSymbolTable(const QVElfImage& image) {
  if (!image.isValid()) {
    error_ = image.error();
    return;
  }
  _read(image);
  _buildIndex();
}

QVElfSymbolTable::QVElfSymbolTable(const QVElfImage& image, const QVElfImage& debugFile) {
  if (!image.isValid()) {
    error_ = image.error();
    return;
  }
  if (!debugFile.isValid()) {
    error_ = debugFile.error();
    return;
  }
  if (debugFile.machine() != image.machine() || debugFile.is64Bit() != image.is64Bit()) {
    error_ = debugFile.path() + ": debug file is for another machine than " + image.path();
    return;
  }
  _read(debugFile);
  _buildIndex();
}

void QVElfSymbolTable::_read(const QVElfImage& symbolFile) {
  std::lock_guard<std::mutex> lock(symbolFile.elfLock());
  Elf* elf = symbolFile.elf();
  Elf_Scn* scn = FindSymbolSection(elf, SHT_SYMTAB);
  source_ = Source::SymbolTable;
  if (!scn) {
    scn = FindSymbolSection(elf, SHT_DYNSYM);
    source_ = Source::DynamicSymbolTable;
  }
  if (!scn) {
    source_ = Source::None;
    return;
  }
  GElf_Shdr header;
  gelf_getshdr(scn, &header);
  // A stripped file's own table in a debug-only copy is NOBITS; there is
  // nothing to read then.
  if (header.sh_type == SHT_NOBITS) {
    source_ = Source::None;
    return;
  }
  Elf_Data* data = elf_getdata(scn, nullptr);
  if (!data || !data->d_buf) {
    error_ = symbolFile.path() + ": unreadable symbol table: " + elf_errmsg(-1);
    source_ = Source::None;
    return;
  }
  const size_t entrySize = gelf_fsize(elf, ELF_T_SYM, 1, EV_CURRENT);
  const size_t count = entrySize ? data->d_size / entrySize : 0;
  const bool thumb = symbolFile.machine() == EM_ARM;
  size_t unreadable = 0;
  for (size_t i = 1; i < count; ++i) {
    GElf_Sym entry;
    if (!gelf_getsym(data, static_cast<int>(i), &entry)) {
      ++unreadable;
      continue;
    }
    const uint8_t type = GELF_ST_TYPE(entry.st_info);
    if (entry.st_shndx == SHN_UNDEF || entry.st_shndx >= SHN_LORESERVE || type == STT_SECTION ||
        type == STT_FILE || type == STT_TLS) {
      continue;
    }
    // elf_strptr checks that the name's offset and terminator lie within
    // the string table, so a corrupt st_name costs one symbol, not a crash.
    const char* name = elf_strptr(elf, header.sh_link, entry.st_name);
    if (!name) {
      ++unreadable;
      continue;
    }
    if (*name == '\0') {
      continue;
    }
    QVElfSymbol symbol;
    symbol.name = name;
    symbol.value = entry.st_value;
    symbol.size = entry.st_size;
    symbol.type = type;
    symbol.binding = GELF_ST_BIND(entry.st_info);
    symbol.visibility = GELF_ST_VISIBILITY(entry.st_other);
    symbol.sectionIndex = entry.st_shndx;
    if (thumb && symbol.isFunction()) {
      symbol.value &= ~static_cast<uint64_t>(1);
    }
    (IsLabel(entry) ? labels_ : symbols_).push_back(std::move(symbol));
  }
  if (unreadable > 0) {
    QV_WARNING(symbolFile.path() << ": skipped " << unreadable << " unreadable symbol table entries");
  }
  for (const QVElfSection& section : symbolFile.sections()) {
    sectionBounds_.push_back({section.addr, section.addr + section.size});
  }
}

void QVElfSymbolTable::_buildIndex() {
  std::sort(symbols_.begin(), symbols_.end(), Precedes);
  std::sort(labels_.begin(), labels_.end(), Precedes);
  for (size_t i = 0; i < symbols_.size(); ++i) {
    if (i == 0 || symbols_[i].value != symbols_[i - 1].value) {
      primary_.push_back(i);
    }
    byName_.emplace(symbols_[i].name, i);
  }
  for (size_t i = 0; i < labels_.size(); ++i) {
    labelNames_.emplace(labels_[i].name, i);
  }
  // Symbols still open at each start, innermost on top; a symbol's chain of
  // enclosing symbols is the stack below it when it was pushed.
  enclosing_.assign(primary_.size(), kNone);
  std::vector<size_t> open;
  for (size_t p = 0; p < primary_.size(); ++p) {
    const QVElfSymbol& symbol = symbols_[primary_[p]];
    while (!open.empty()) {
      const QVElfSymbol& top = symbols_[primary_[open.back()]];
      if (top.value + top.size > symbol.value) {
        break;
      }
      open.pop_back();
    }
    enclosing_[p] = open.empty() ? kNone : open.back();
    if (symbol.size > 0) {
      open.push_back(p);
    }
  }
}

const QVElfSymbol* QVElfSymbolTable::symbolAt(uint64_t address) const {
  auto after = std::upper_bound(primary_.begin(), primary_.end(), address,
                                [this](uint64_t value, size_t index) { return value < symbols_[index].value; });
  if (after == primary_.begin()) {
    return nullptr;
  }
  const size_t nearest = static_cast<size_t>(after - primary_.begin()) - 1;
  for (size_t p = nearest; p != kNone; p = enclosing_[p]) {
    const QVElfSymbol& candidate = symbols_[primary_[p]];
    if (candidate.covers(address)) {
      return &candidate;
    }
  }
  const QVElfSymbol& preceding = symbols_[primary_[nearest]];
  if (preceding.size == 0 && preceding.sectionIndex < sectionBounds_.size() &&
      address < sectionBounds_[preceding.sectionIndex].end) {
    return &preceding;
  }
  return nullptr;
}

const QVElfSymbol* QVElfSymbolTable::symbolNamed(const std::string& name) const {
  auto found = byName_.find(name);
  return found == byName_.end() ? nullptr : &symbols_[found->second];
}

bool QVElfSymbolTable::isLabelOnly(const std::string& name) const {
  return byName_.count(name) == 0 && labelNames_.count(name) != 0;
}

}  // namespace Quorvel
