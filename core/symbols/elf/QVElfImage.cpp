#include "symbols/elf/QVElfImage.h"

#include <elf.h>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <sstream>

#include "base/QVLog.h"

namespace Quorvel {

namespace {

// libelf refuses every call until the version handshake has been made once
// per process.
void EnsureLibelfInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { elf_version(EV_CURRENT); });
}

std::string LibelfError() {
  const char* message = elf_errmsg(-1);
  return message ? message : "unknown libelf error";
}

// Whether [offset, offset + size) lies inside a file of fileSize bytes,
// without overflowing on hostile header values.
bool RangeInside(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

std::string HexString(const void* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(bytes);
  std::string text;
  text.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    text.push_back(digits[p[i] >> 4]);
    text.push_back(digits[p[i] & 0xf]);
  }
  return text;
}

QVElfType TypeFromHeader(uint16_t type) {
  switch (type) {
    case ET_REL:
      return QVElfType::Relocatable;
    case ET_EXEC:
      return QVElfType::Executable;
    case ET_DYN:
      return QVElfType::SharedObject;
    case ET_CORE:
      return QVElfType::Core;
    default:
      return QVElfType::Unknown;
  }
}

}  // namespace

QVArchitecture ElfMachineToArchitecture(uint16_t machine) {
  switch (machine) {
    case EM_X86_64:
      return QVArchitectureX86_64;
    case EM_386:
      return QVArchitectureX86;
    case EM_AARCH64:
      return QVArchitectureAArch64;
    case EM_ARM:
      return QVArchitectureARM;
    case EM_PPC:
      return QVArchitecturePPC;
    case EM_PPC64:
      return QVArchitecturePPC64;
    default:
      return QVArchitectureUnknown;
  }
}

bool QVElfSection::isExecutable() const { return (flags & SHF_EXECINSTR) != 0; }

bool QVElfSection::occupiesFile() const { return type != SHT_NOBITS; }

QVElfImage::QVElfImage(const std::string& path) : path_(path) {
  EnsureLibelfInitialised();
  _openFile();
  if (elf_) {
    _readHeaders();
  }
  if (!isValid()) {
    _release();
  }
}

QVElfImage::QVElfImage(const void* bytes, size_t length, const std::string& name) : path_(name) {
  EnsureLibelfInitialised();
  _openMemory(bytes, length);
  if (elf_) {
    _readHeaders();
  }
  if (!isValid()) {
    _release();
  }
}

QVElfImage::~QVElfImage() { _release(); }

void QVElfImage::_release() {
  if (elf_) {
    elf_end(elf_);
    elf_ = nullptr;
  }
  fd_.close();
}

void QVElfImage::_fail(const std::string& why) {
  if (error_.empty()) {
    error_ = path_ + ": " + why;
    QV_DEBUG("rejecting ELF image " << error_);
  }
}

void QVElfImage::_openFile() {
  fd_ = QVFileDescriptor(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd_.isOpen()) {
    _fail(std::string("cannot open: ") + std::strerror(errno));
    return;
  }
  struct stat status;
  if (::fstat(fd_.get(), &status) != 0) {
    _fail(std::string("cannot stat: ") + std::strerror(errno));
    return;
  }
  if (!S_ISREG(status.st_mode)) {
    _fail("not a regular file");
    return;
  }
  fileSize_ = static_cast<uint64_t>(status.st_size);
  // libelf maps the file privately and reads it in place; the descriptor is
  // kept until the handle ends because libelf may go back to it.
  elf_ = elf_begin(fd_.get(), ELF_C_READ_MMAP, nullptr);
  if (!elf_) {
    _fail("libelf cannot read the file: " + LibelfError());
  }
}

void QVElfImage::_openMemory(const void* bytes, size_t length) {
  if (!bytes || length == 0) {
    _fail("empty memory image");
    return;
  }
  // libelf may convert data in place, and the caller's bytes (the live vdso)
  // must never be touched, so it works on a private copy.
  const auto* begin = static_cast<const char*>(bytes);
  memory_.assign(begin, begin + length);
  fileSize_ = length;
  elf_ = elf_memory(memory_.data(), memory_.size());
  if (!elf_) {
    _fail("libelf cannot read the memory image: " + LibelfError());
  }
}

void QVElfImage::_readHeaders() {
  if (elf_kind(elf_) != ELF_K_ELF) {
    _fail("not an ELF file");
    return;
  }
  const char* ident = elf_getident(elf_, nullptr);
  if (!ident) {
    _fail("unreadable ELF identification: " + LibelfError());
    return;
  }
  if (ident[EI_CLASS] != ELFCLASS32 && ident[EI_CLASS] != ELFCLASS64) {
    _fail("invalid ELF class " + std::to_string(static_cast<int>(ident[EI_CLASS])));
    return;
  }
  if (ident[EI_DATA] != ELFDATA2LSB && ident[EI_DATA] != ELFDATA2MSB) {
    _fail("invalid ELF data encoding " + std::to_string(static_cast<int>(ident[EI_DATA])));
    return;
  }
  is64Bit_ = ident[EI_CLASS] == ELFCLASS64;
  GElf_Ehdr header;
  if (!gelf_getehdr(elf_, &header)) {
    _fail("unreadable ELF header: " + LibelfError());
    return;
  }
  machine_ = header.e_machine;
  architecture_ = ElfMachineToArchitecture(header.e_machine);
  type_ = TypeFromHeader(header.e_type);
  if (!_readSegments() || !_readSections()) {
    return;
  }
  _readNotes();
}

bool QVElfImage::_readSegments() {
  GElf_Ehdr header;
  gelf_getehdr(elf_, &header);
  size_t count = 0;
  if (elf_getphdrnum(elf_, &count) != 0) {
    _fail("unreadable program header count: " + LibelfError());
    return false;
  }
  // libelf quietly reports no headers when the table lies outside the
  // file; the ELF header's own count shows that something was cut off.
  if (header.e_phnum != PN_XNUM && header.e_phnum != count) {
    _fail("program header table lies outside the file (" + std::to_string(header.e_phnum) + " entries declared)");
    return false;
  }
  if (count > 0) {
    const uint64_t entrySize = is64Bit_ ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (header.e_phentsize != entrySize) {
      _fail("program header entry size " + std::to_string(header.e_phentsize) + " is not " +
            std::to_string(entrySize));
      return false;
    }
    if (count > std::numeric_limits<uint64_t>::max() / entrySize ||
        !RangeInside(header.e_phoff, count * entrySize, fileSize_)) {
      _fail("program header table lies outside the file");
      return false;
    }
  }
  bool haveLoad = false;
  uint64_t lowest = 0;
  for (size_t i = 0; i < count; ++i) {
    GElf_Phdr program;
    if (!gelf_getphdr(elf_, static_cast<int>(i), &program)) {
      _fail("unreadable program header " + std::to_string(i) + ": " + LibelfError());
      return false;
    }
    if (program.p_type != PT_LOAD) {
      continue;
    }
    QVElfSegment segment;
    segment.vaddr = program.p_vaddr;
    segment.memsz = program.p_memsz;
    segment.offset = program.p_offset;
    segment.filesz = program.p_filesz;
    segment.flags = program.p_flags;
    loadSegments_.push_back(segment);
    if (!haveLoad || segment.vaddr < lowest) {
      lowest = segment.vaddr;
      haveLoad = true;
    }
  }
  if (haveLoad) {
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    baseAddress_ = lowest & ~(page - 1);
  }
  return true;
}

bool QVElfImage::_readSections() {
  GElf_Ehdr header;
  gelf_getehdr(elf_, &header);
  size_t count = 0;
  if (elf_getshdrnum(elf_, &count) != 0) {
    _fail("unreadable section count: " + LibelfError());
    return false;
  }
  // As with program headers: a count of 0 in the ELF header with a table
  // offset means the real count is in section 0, which libelf read.
  const bool extendedCount = header.e_shnum == 0 && header.e_shoff != 0;
  if ((!extendedCount && header.e_shnum != count) || (extendedCount && count == 0)) {
    _fail("section header table lies outside the file (" + std::to_string(header.e_shnum) + " entries declared)");
    return false;
  }
  if (count == 0) {
    return true;
  }
  const uint64_t entrySize = is64Bit_ ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
  if (header.e_shentsize != entrySize) {
    _fail("section header entry size " + std::to_string(header.e_shentsize) + " is not " +
          std::to_string(entrySize));
    return false;
  }
  if (count > std::numeric_limits<uint64_t>::max() / entrySize ||
      !RangeInside(header.e_shoff, count * entrySize, fileSize_)) {
    _fail("section header table lies outside the file");
    return false;
  }
  size_t namesIndex = 0;
  if (elf_getshdrstrndx(elf_, &namesIndex) != 0 || namesIndex >= count) {
    _fail("no valid section name table");
    return false;
  }
  sections_.reserve(count);
  for (size_t index = 0; index < count; ++index) {
    Elf_Scn* scn = elf_getscn(elf_, index);
    GElf_Shdr sectionHeader;
    if (!scn || !gelf_getshdr(scn, &sectionHeader)) {
      _fail("unreadable section header " + std::to_string(index) + ": " + LibelfError());
      return false;
    }
    QVElfSection section;
    section.index = index;
    section.type = sectionHeader.sh_type;
    section.flags = sectionHeader.sh_flags;
    section.addr = sectionHeader.sh_addr;
    section.size = sectionHeader.sh_size;
    section.offset = sectionHeader.sh_offset;
    if (index != 0) {
      const char* name = elf_strptr(elf_, namesIndex, sectionHeader.sh_name);
      if (!name) {
        _fail("section " + std::to_string(index) + " has no readable name");
        return false;
      }
      section.name = name;
    }
    if (section.type != SHT_NOBITS && section.type != SHT_NULL &&
        !RangeInside(section.offset, section.size, fileSize_)) {
      std::ostringstream why;
      why << "section " << index << " (" << section.name << ") lies outside the file: offset 0x" << std::hex
          << section.offset << " size 0x" << section.size << " file size 0x" << fileSize_;
      _fail(why.str());
      return false;
    }
    sections_.push_back(std::move(section));
  }
  return true;
}

void QVElfImage::_readNotes() {
  const void* buildId = nullptr;
  const ssize_t length = dwelf_elf_gnu_build_id(elf_, &buildId);
  if (length > 0 && buildId) {
    buildId_ = HexString(buildId, static_cast<size_t>(length));
  }
  // dwelf reads .gnu_debuglink through libelf, which checks that the name is
  // terminated and that the CRC word follows it inside the section.
  GElf_Word crc = 0;
  const char* link = dwelf_elf_gnu_debuglink(elf_, &crc);
  if (link && *link) {
    debugLinkName_ = link;
    debugLinkCrc_ = crc;
  }
}

const QVElfSection* QVElfImage::sectionNamed(const std::string& name) const {
  auto found = std::find_if(sections_.begin(), sections_.end(),
                            [&](const QVElfSection& section) { return section.name == name; });
  return found == sections_.end() ? nullptr : &*found;
}

const QVElfSection* QVElfImage::sectionAtIndex(size_t index) const {
  return index < sections_.size() ? &sections_[index] : nullptr;
}

namespace {
bool HasContents(const QVElfSection* section) {
  return section && section->occupiesFile() && section->size > 0;
}
}  // namespace

bool QVElfImage::hasSymbolTable() const {
  return std::any_of(sections_.begin(), sections_.end(), [](const QVElfSection& section) {
    return section.type == SHT_SYMTAB && HasContents(&section);
  });
}

bool QVElfImage::hasDynamicSymbolTable() const {
  return std::any_of(sections_.begin(), sections_.end(), [](const QVElfSection& section) {
    return section.type == SHT_DYNSYM && HasContents(&section);
  });
}

bool QVElfImage::hasLineInfo() const {
  return HasContents(sectionNamed(".debug_line")) || HasContents(sectionNamed(".zdebug_line"));
}

}  // namespace Quorvel
