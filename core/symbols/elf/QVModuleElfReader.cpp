#include "symbols/elf/QVModuleElfReader.h"

#include <elf.h>
#include <gelf.h>
#include <libelf.h>

#include <climits>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "data/QVPropertyMap.h"
#include "symbols/elf/QVDebugFileLocator.h"
#include "symbols/elf/QVDwarfLineTable.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"
#include "symbols/QVSection.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolSourceMap.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

QVSymbol::Type SymbolType(const QVElfSymbol& symbol) {
  if (symbol.isFunction()) {
    return QVSymbol::TypeCode;
  }
  switch (symbol.type) {
    case STT_OBJECT:
    case STT_COMMON:
    case STT_TLS:
      return QVSymbol::TypeData;
    default:
      return QVSymbol::TypeUnknown;
  }
}

QVSymbol::Visibility SymbolVisibility(const QVElfSymbol& symbol) {
  switch (symbol.binding) {
    case STB_LOCAL:
      return QVSymbol::VisibilityLocal;
    case STB_WEAK:
      return QVSymbol::VisibilityWeak;
    default:
      return QVSymbol::VisibilityGlobal;
  }
}

const char* BindingName(uint8_t binding) {
  switch (binding) {
    case STB_LOCAL:
      return "local";
    case STB_GLOBAL:
      return "global";
    case STB_WEAK:
      return "weak";
    case STB_GNU_UNIQUE:
      return "unique";
    default:
      return "other";
  }
}

// Beyond this a symbol is not a function a person reads line by line, and
// walking it byte by byte would stall the first question for seconds.
constexpr int kMaxLineWalkBytes = 1 << 22;

}  // namespace

QVModuleElfReader::QVModuleElfReader(const QVModuleId& moduleId, std::shared_ptr<const QVElfImage> image)
    : moduleId_(moduleId), image_(std::move(image)) {}

QVModuleElfReader::~QVModuleElfReader() = default;

void QVModuleElfReader::_locateDebugFile() const {
  std::call_once(debugOnce_, [this] {
    if (!image_ || !image_->isValid() || image_->isMemoryImage() || !QVDebugFileLocator::needsDebugFile(*image_)) {
      return;
    }
    QVDebugFileLocator locator(QVSystemPaths::path("/usr/lib/debug"));
    QVDebugFileLocator::Route route = QVDebugFileLocator::Route::None;
    debugImage_ = locator.locate(*image_, &route);
    if (debugImage_) {
      QV_DEBUG("debug file for " << image_->path() << ": " << debugImage_->path() << " ("
                                 << DebugFileRouteName(route) << ")");
    }
  });
}

std::shared_ptr<const QVElfImage> QVModuleElfReader::debugImage() const {
  _locateDebugFile();
  return debugImage_;
}

void QVModuleElfReader::_readSymbolTable() const {
  std::call_once(tableOnce_, [this] {
    if (!image_ || !image_->isValid()) {
      return;
    }
    std::shared_ptr<const QVElfImage> debug;
    if (!image_->hasSymbolTable()) {
      debug = debugImage();
    }
    if (debug && debug->hasSymbolTable()) {
      table_ = std::make_unique<QVElfSymbolTable>(*image_, *debug);
    } else {
      table_ = std::make_unique<QVElfSymbolTable>(*image_);
    }
    if (!table_->error().empty()) {
      QV_WARNING("no symbols for " << image_->path() << ": " << table_->error());
    }
    for (const QVElfSymbol& label : table_->labels()) {
      labels_.emplace(label.name, label.value);
    }
  });
}

const QVElfSymbolTable* QVModuleElfReader::symbolTable() const {
  _readSymbolTable();
  return table_.get();
}

const std::unordered_map<std::string, uint64_t>& QVModuleElfReader::labels() const {
  _readSymbolTable();
  return labels_;
}

void QVModuleElfReader::loadSectionSymbols(QVSection& section) {
  const QVElfSymbolTable* table = symbolTable();
  if (table == nullptr) {
    return;
  }
  const QVSectionId& sectionId = section.sectionId();
  const int sectionIndex = sectionId.index();
  const uint64_t start = section.addressRange().location;
  const uint64_t end = section.addressRange().end();
  const std::vector<QVElfSymbol>& symbols = table->symbols();

  // Symbols are sorted by value with the preferred alias first, so the
  // section's own come out in address order.
  std::vector<size_t> own;
  for (size_t i = 0; i < symbols.size(); ++i) {
    const QVElfSymbol& symbol = symbols[i];
    if (symbol.sectionIndex == sectionIndex && symbol.value >= start && symbol.value < end &&
        (own.empty() || symbols[own.back()].value != symbol.value)) {
      own.push_back(i);
    }
  }
  const std::weak_ptr<const QVSymbolOwner> owner = weak_from_this();
  for (size_t k = 0; k < own.size(); ++k) {
    const size_t index = own[k];
    const QVElfSymbol& entry = symbols[index];
    const uint64_t offset = entry.value - start;
    // Hand-written code often has no size: it reaches to whatever follows.
    const uint64_t limit = k + 1 < own.size() ? symbols[own[k + 1]].value : end;
    uint64_t size = entry.size != 0 ? entry.size : limit - entry.value;
    if (size > end - entry.value) {
      size = end - entry.value;
    }
    if (offset > static_cast<uint64_t>(INT_MAX) || size == 0 || size > static_cast<uint64_t>(INT_MAX) ||
        index > static_cast<size_t>(INT_MAX)) {
      continue;
    }
    const QVRange<int> range(static_cast<int>(offset), static_cast<int>(size));
    const QVSymbolId symbolId = QVSymbolId::uniqueSymbolId(sectionId, static_cast<int>(index));
    std::shared_ptr<QVSymbol> symbol = QVSymbol::symbolWithId(symbolId);
    if (!symbol || symbol->name() != entry.name || symbol->sectionRange() != range) {
      auto created = std::make_shared<QVSymbol>(symbolId, entry.name, SymbolType(entry), SymbolVisibility(entry),
                                                image_->architecture());
      created->setSectionRange(range);
      created->mutableProperties().setUnsigned("size", entry.size);
      created->mutableProperties().setString("binding", BindingName(entry.binding));
      created->setOwner(owner);
      try {
        QVSymbol::registerSymbol(created);
      } catch (const QVException& exception) {
        // Another object (from an older build of this file, read from a
        // session) holds the id; this module still answers with its own.
        QV_WARNING("symbol " << entry.name << " of " << image_->path() << " not registered: "
                             << exception.message());
      }
      symbol = created;
    } else if (!symbol->owner()) {
      symbol->setOwner(owner);
    }
    section.setSymbolForRange(symbol, range);
  }
}

bool QVModuleElfReader::_symbolAddress(const QVSymbol& symbol, uint64_t& address) const {
  const QVSectionId sectionId = symbol.symbolId().asSectionId();
  if (!image_ || !image_->isValid() || sectionId.asModuleId() != moduleId_ || sectionId.index() < 0) {
    return false;
  }
  const QVElfSection* section = image_->sectionAtIndex(static_cast<size_t>(sectionId.index()));
  if (section == nullptr || symbol.offset() < 0) {
    return false;
  }
  address = section->addr + static_cast<uint64_t>(symbol.offset());
  return true;
}

QVDwarfLineTable* QVModuleElfReader::_lineTable() const {
  std::call_once(linesOnce_, [this] {
    if (!image_ || !image_->isValid()) {
      return;
    }
    std::shared_ptr<const QVElfImage> source;
    if (image_->hasLineInfo()) {
      source = image_;
    } else {
      std::shared_ptr<const QVElfImage> debug = debugImage();
      if (debug && debug->hasLineInfo()) {
        source = debug;
      }
    }
    if (source) {
      lines_ = std::make_unique<QVDwarfLineTable>(source);
    }
  });
  return lines_.get();
}

bool QVModuleElfReader::getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const {
  locations.clear();
  uint64_t start = 0;
  QVDwarfLineTable* lines = _lineTable();
  if (lines == nullptr || !_symbolAddress(symbol, start)) {
    return false;
  }
  const int size = std::min(symbol.size(), kMaxLineWalkBytes);
  // The line table answers one address at a time; runs of bytes from one
  // line become one range.
  QVFileId runFile;
  int runLine = 0;
  int runStart = 0;
  std::string lastPath;
  QVFileId lastFile;
  auto flush = [&](int endOffset) {
    if (runFile.isValid() && runLine > 0 && endOffset > runStart) {
      locations.addLine(runFile, QVRange<int>(runStart, endOffset - runStart), runLine);
    }
  };
  for (int offset = 0; offset < size; ++offset) {
    QVSourceLine row;
    QVFileId file;
    int line = 0;
    if (lines->sourceLineAt(start + static_cast<uint64_t>(offset), row) && row.line > 0) {
      if (row.file != lastPath) {
        lastPath = row.file;
        lastFile = QVFileId::uniqueFileId(row.file);
        QVSourceFile::registerSourceFile(std::make_shared<QVSourceFile>(lastFile));
      }
      file = lastFile;
      line = row.line;
    }
    if (file != runFile || line != runLine) {
      flush(offset);
      runFile = file;
      runLine = line;
      runStart = offset;
    }
  }
  flush(size);
  return !locations.empty();
}

bool QVModuleElfReader::haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const {
  uint64_t start = 0;
  QVDwarfLineTable* lines = _lineTable();
  if (lines == nullptr || !_symbolAddress(symbol, start)) {
    return false;
  }
  QVSourceLine row;
  return lines->sourceLineAt(start, row);
}

bool QVModuleElfReader::getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const {
  data.clear();
  const QVSectionId sectionId = symbol.symbolId().asSectionId();
  uint64_t start = 0;
  if (!_symbolAddress(symbol, start)) {
    return false;
  }
  const QVElfSection* section = image_->sectionAtIndex(static_cast<size_t>(sectionId.index()));
  if (!section->occupiesFile()) {
    return false;
  }
  std::lock_guard<std::mutex> lock(image_->elfLock());
  Elf_Scn* scn = elf_getscn(image_->elf(), section->index);
  Elf_Data* contents = scn != nullptr ? elf_getdata(scn, nullptr) : nullptr;
  if (contents == nullptr || contents->d_buf == nullptr) {
    return false;
  }
  const uint64_t offset = static_cast<uint64_t>(symbol.offset());
  const uint64_t size = static_cast<uint64_t>(symbol.size());
  if (offset > contents->d_size || size > contents->d_size - offset) {
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(contents->d_buf) + offset;
  data.assign(bytes, bytes + size);
  return true;
}

// Relocatable objects (kernel modules) keep one relocation section per
// section, whose entries hold section offsets; linked images keep dynamic
// relocations whose entries hold addresses.
bool QVModuleElfReader::_relocations(const QVSymbol& symbol, std::vector<QVSymbolRelocation>* entries) const {
  uint64_t start = 0;
  if (!_symbolAddress(symbol, start) || image_->isMemoryImage()) {
    return false;
  }
  const size_t targetIndex = static_cast<size_t>(symbol.symbolId().asSectionId().index());
  const bool relocatable = image_->type() == QVElfType::Relocatable;
  const uint64_t first = relocatable ? static_cast<uint64_t>(symbol.offset()) : start;
  const uint64_t last = first + static_cast<uint64_t>(symbol.size());
  bool found = false;
  std::lock_guard<std::mutex> lock(image_->elfLock());
  Elf* elf = image_->elf();
  for (const QVElfSection& section : image_->sections()) {
    if (section.type != SHT_RELA && section.type != SHT_REL) {
      continue;
    }
    Elf_Scn* scn = elf_getscn(elf, section.index);
    GElf_Shdr header;
    if (scn == nullptr || gelf_getshdr(scn, &header) == nullptr) {
      continue;
    }
    if (relocatable ? header.sh_info != targetIndex : (header.sh_flags & SHF_ALLOC) == 0) {
      continue;
    }
    Elf_Data* contents = elf_getdata(scn, nullptr);
    if (contents == nullptr || header.sh_entsize == 0) {
      continue;
    }
    Elf_Scn* symbolScn = elf_getscn(elf, header.sh_link);
    GElf_Shdr symbolHeader;
    Elf_Data* symbolData = nullptr;
    if (symbolScn != nullptr && gelf_getshdr(symbolScn, &symbolHeader) != nullptr) {
      symbolData = elf_getdata(symbolScn, nullptr);
    }
    const size_t count = contents->d_size / header.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
      QVSymbolRelocation entry;
      uint64_t where = 0;
      uint64_t info = 0;
      if (section.type == SHT_RELA) {
        GElf_Rela rela;
        if (gelf_getrela(contents, static_cast<int>(i), &rela) == nullptr) {
          continue;
        }
        where = rela.r_offset;
        info = rela.r_info;
        entry.addend = rela.r_addend;
      } else {
        GElf_Rel rel;
        if (gelf_getrel(contents, static_cast<int>(i), &rel) == nullptr) {
          continue;
        }
        where = rel.r_offset;
        info = rel.r_info;
      }
      if (where < first || where >= last) {
        continue;
      }
      found = true;
      if (entries == nullptr) {
        return true;
      }
      entry.offset = static_cast<int>(where - first);
      // gelf hands every entry over in the 64-bit layout.
      entry.type = static_cast<uint32_t>(GELF_R_TYPE(info));
      const size_t symbolIndex = GELF_R_SYM(info);
      GElf_Sym target;
      if (symbolIndex != 0 && symbolData != nullptr && gelf_getsym(symbolData, static_cast<int>(symbolIndex), &target)) {
        const char* name = elf_strptr(elf, symbolHeader.sh_link, target.st_name);
        if (name != nullptr) {
          entry.target = name;
        }
      }
      entries->push_back(entry);
    }
  }
  return found;
}

bool QVModuleElfReader::getRelocationEntriesForSymbol(const QVSymbol& symbol,
                                                      std::vector<QVSymbolRelocation>& entries) const {
  entries.clear();
  return _relocations(symbol, &entries);
}

bool QVModuleElfReader::haveRelocationEntriesForSymbol(const QVSymbol& symbol) const {
  return _relocations(symbol, nullptr);
}

bool QVModuleElfReader::getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const {
  properties = symbol.properties();
  uint64_t start = 0;
  if (!_symbolAddress(symbol, start)) {
    return false;
  }
  properties.setUnsigned("address", start);
  const QVElfSection* section =
      image_->sectionAtIndex(static_cast<size_t>(symbol.symbolId().asSectionId().index()));
  properties.setString("section", section->name);
  return true;
}

}  // namespace Quorvel
