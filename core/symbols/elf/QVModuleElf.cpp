#include "symbols/elf/QVModuleElf.h"

#include <elf.h>
#include <sys/stat.h>

#include <climits>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "data/QVPropertyMap.h"
#include "ids/QVFileId.h"
#include "symbols/elf/QVElfHeader.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"
#include "symbols/elf/QVModuleElfReader.h"
#include "symbols/elf/QVSectionElf.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

namespace {
const std::unordered_map<std::string, uint64_t> kNoLabels;
}  // namespace

std::shared_ptr<QVModule> QVModuleElf::moduleForFile(const std::string& path,
                                                     std::optional<QVArchitecture> architecture) {
  const QVFileId fileId = QVFileId::uniqueFileId(path);
  // A file seen before is answered from the registry, without opening it.
  if (architecture) {
    if (const std::shared_ptr<QVModule>& known = moduleWithId(QVModuleId::uniqueModuleId(fileId, *architecture))) {
      return known;
    }
  }
  const mode_t mode = FileModeFlags(path);
  if (!S_ISREG(mode) || !FileCanRead(path)) {
    QV_DEBUG("skipping " << path << ": not a readable regular file (mode " << std::oct << mode << std::dec << ")");
    return nullptr;
  }
  const QVElfHeader header(path, 0);
  if (!header.isElf()) {
    QV_DEBUG("skipping " << path << ": not an ELF file");
    return nullptr;
  }
  const QVModuleId moduleId = QVModuleId::uniqueModuleId(fileId, architecture.value_or(header.architecture()));
  if (const std::shared_ptr<QVModule>& known = moduleWithId(moduleId)) {
    return known;
  }
  auto module = std::make_shared<QVModuleElf>(moduleId, path, 0, PathBaseName(path));
  try {
    registerModule(module);
  } catch (const QVException&) {
    // Another thread registered the file first: share its module, which
    // other maps may refer to already.
    if (const std::shared_ptr<QVModule>& known = moduleWithId(moduleId)) {
      return known;
    }
    throw;
  }
  return module;
}

QVModuleElf::QVModuleElf(const QVModuleId& moduleId, const std::string& path, uint64_t offset,
                         const std::string& name)
    : QVModule(moduleId, path, offset, name) {
  if (offset != 0) {
    QV_WARNING("ELF image at offset " << offset << " of " << path << " not supported");
    return;
  }
  _open(std::make_shared<QVElfImage>(path));
}

QVModuleElf::QVModuleElf(const QVModuleId& moduleId, const void* bytes, size_t length, const std::string& name)
    : QVModule(moduleId, name, 0, name) {
  _open(std::make_shared<QVElfImage>(bytes, length, name));
}

QVModuleElf::~QVModuleElf() = default;

void QVModuleElf::_open(std::shared_ptr<const QVElfImage> image) {
  if (!image->isValid()) {
    QV_WARNING("not a usable ELF image: " << image->path() << ": " << image->error());
    return;
  }
  reader_ = std::make_shared<QVModuleElfReader>(moduleId(), image);
  std::vector<std::shared_ptr<QVSection>> sections;
  for (const QVElfSection& elfSection : image->sections()) {
    if ((elfSection.flags & SHF_ALLOC) == 0 || elfSection.index > static_cast<size_t>(INT_MAX)) {
      continue;
    }
    unsigned attributes = QVSection::kAttributeAllocated;
    if ((elfSection.flags & SHF_EXECINSTR) != 0) {
      attributes |= QVSection::kAttributeExecutable;
    }
    if ((elfSection.flags & SHF_WRITE) != 0) {
      attributes |= QVSection::kAttributeWritable;
    }
    if (elfSection.occupiesFile()) {
      attributes |= QVSection::kAttributeFileBacked;
    }
    const QVRange<long> fileRange(static_cast<long>(elfSection.offset),
                                  elfSection.occupiesFile() ? static_cast<long>(elfSection.size) : 0L);
    sections.push_back(std::make_shared<QVSectionElf>(
        QVSectionId::uniqueSectionId(moduleId(), static_cast<int>(elfSection.index)), elfSection.name, attributes,
        QVRange<unsigned long>(elfSection.addr, elfSection.size), fileRange, reader_));
  }
  setSections(sections);
}

bool QVModuleElf::isValid() const { return reader_ != nullptr; }

std::shared_ptr<const QVElfImage> QVModuleElf::image() const {
  return reader_ ? reader_->image() : std::shared_ptr<const QVElfImage>();
}

uint64_t QVModuleElf::baseAddress() const {
  if (reader_ && !reader_->image()->loadSegments().empty()) {
    return reader_->image()->baseAddress();
  }
  return QVModule::baseAddress();
}

const std::unordered_map<std::string, uint64_t>& QVModuleElf::labels() const {
  return reader_ ? reader_->labels() : kNoLabels;
}

std::shared_ptr<QVSymbol> QVModuleElf::symbolNamed(const std::string& name) const {
  const QVElfSymbolTable* table = reader_ ? reader_->symbolTable() : nullptr;
  const QVElfSymbol* entry = table ? table->symbolNamed(name) : nullptr;
  if (entry == nullptr) {
    return std::shared_ptr<QVSymbol>();
  }
  const QVSectionId sectionId = QVSectionId::uniqueSectionId(moduleId(), entry->sectionIndex);
  const std::shared_ptr<QVSection> section = sectionWithId(sectionId);
  if (!section || entry->value < section->addressRange().location) {
    return std::shared_ptr<QVSymbol>();
  }
  const int offset = static_cast<int>(entry->value - section->addressRange().location);
  std::vector<std::shared_ptr<QVSymbol>> symbols;
  // The symbol may be nested in, or an alias of, what the offset shows, so
  // look among the section's symbols by name.
  section->getSymbols(symbols, true);
  for (const std::shared_ptr<QVSymbol>& symbol : symbols) {
    if (symbol->name() == name && symbol->offset() == offset) {
      return symbol;
    }
  }
  return std::shared_ptr<QVSymbol>();
}

void QVModuleElf::getSymbols(std::vector<std::shared_ptr<QVSymbol>>& symbols) const {
  symbols.clear();
  std::vector<std::shared_ptr<QVSymbol>> own;
  for (const std::shared_ptr<QVSection>& section : sections()) {
    section->getSymbols(own, true);
    symbols.insert(symbols.end(), own.begin(), own.end());
  }
}

bool QVModuleElf::getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const {
  data.clear();
  return reader_ && reader_->getDataForSymbol(symbol, data);
}

bool QVModuleElf::getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const {
  locations.clear();
  return reader_ && reader_->getSourceLocationsForSymbol(symbol, locations);
}

bool QVModuleElf::haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const {
  return reader_ && reader_->haveSourceLocationInfoForSymbol(symbol);
}

bool QVModuleElf::getRelocationEntriesForSymbol(const QVSymbol& symbol,
                                                std::vector<QVSymbolRelocation>& entries) const {
  entries.clear();
  return reader_ && reader_->getRelocationEntriesForSymbol(symbol, entries);
}

bool QVModuleElf::haveRelocationEntriesForSymbol(const QVSymbol& symbol) const {
  return reader_ && reader_->haveRelocationEntriesForSymbol(symbol);
}

bool QVModuleElf::getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const {
  properties.clear();
  return reader_ && reader_->getPropertiesForSymbol(symbol, properties);
}

}  // namespace Quorvel
