#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "system/QVFileDescriptor.h"
#include "system/QVMachine.h"

// libelf's handle, kept opaque so that users of this header need no elfutils
// headers of their own.
struct Elf;

namespace Quorvel {

enum class QVElfType { Unknown, Relocatable, Executable, SharedObject, Core };

// One PT_LOAD program header.
struct QVElfSegment {
  uint64_t vaddr = 0;
  uint64_t memsz = 0;
  uint64_t offset = 0;
  uint64_t filesz = 0;
  uint32_t flags = 0;  // PF_X, PF_W, PF_R
};

// One section header with its resolved name.
struct QVElfSection {
  size_t index = 0;
  std::string name;
  uint32_t type = 0;   // SHT_*
  uint64_t flags = 0;  // SHF_*
  uint64_t addr = 0;
  uint64_t size = 0;
  uint64_t offset = 0;

  bool isExecutable() const;
  bool occupiesFile() const;  // false for SHT_NOBITS
};

// One ELF image, opened read-only, either from a file or from a copy of bytes
// in memory (the vdso). Everything the headers say is read and checked when
// the image is built; afterwards the object is immutable, so const queries
// may run concurrently. A file that is not ELF, or is corrupt or truncated,
// gives an image whose isValid() is false and whose error() says why; no
// query ever reads outside the file.
class QVElfImage {
 public:
  explicit QVElfImage(const std::string& path);
  // Copies the bytes, so the caller's buffer may go away afterwards.
  QVElfImage(const void* bytes, size_t length, const std::string& name);
  ~QVElfImage();
  QVElfImage(const QVElfImage&) = delete;
  QVElfImage& operator=(const QVElfImage&) = delete;

  bool isValid() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The file path, or the name given for a memory image.
  const std::string& path() const { return path_; }
  bool isMemoryImage() const { return !memory_.empty(); }
  uint64_t fileSize() const { return fileSize_; }

  bool is64Bit() const { return is64Bit_; }
  uint16_t machine() const { return machine_; }  // EM_*
  QVArchitecture architecture() const { return architecture_; }
  QVElfType type() const { return type_; }

  // Lowercase hex of the NT_GNU_BUILD_ID note; empty without one.
  const std::string& buildId() const { return buildId_; }
  bool hasDebugLink() const { return !debugLinkName_.empty(); }
  const std::string& debugLinkName() const { return debugLinkName_; }
  uint32_t debugLinkCrc() const { return debugLinkCrc_; }

  const std::vector<QVElfSegment>& loadSegments() const { return loadSegments_; }
  const std::vector<QVElfSection>& sections() const { return sections_; }
  // The first section of that name, or null.
  const QVElfSection* sectionNamed(const std::string& name) const;
  // The section with that header index, or null.
  const QVElfSection* sectionAtIndex(size_t index) const;

  bool hasSymbolTable() const;         // a .symtab with contents
  bool hasDynamicSymbolTable() const;  // a .dynsym with contents
  // .debug_line or .zdebug_line with contents in this file (not NOBITS, as
  // it is in a stripped file whose debug data went elsewhere).
  bool hasLineInfo() const;

  // Lowest PT_LOAD vaddr rounded down to a page; 0 without loadable
  // segments (relocatable objects). A mapping's start minus this is the
  // load bias.
  uint64_t baseAddress() const { return baseAddress_; }

  // For the symbol and line readers of this library; valid as long as the
  // image lives, null when the image is not valid. libelf caches what it
  // reads inside the handle without locking, so every reader holds
  // elfLock() while it uses the handle.
  Elf* elf() const { return elf_; }
  std::mutex& elfLock() const { return elfMutex_; }

 private:
  void _openFile();
  void _openMemory(const void* bytes, size_t length);
  void _readHeaders();
  bool _readSections();
  bool _readSegments();
  void _readNotes();
  void _fail(const std::string& why);
  void _release();

  std::string path_;
  std::string error_;
  QVFileDescriptor fd_;
  Elf* elf_ = nullptr;
  std::vector<char> memory_;
  uint64_t fileSize_ = 0;
  bool is64Bit_ = false;
  uint16_t machine_ = 0;
  QVArchitecture architecture_ = QVArchitectureUnknown;
  QVElfType type_ = QVElfType::Unknown;
  std::string buildId_;
  std::string debugLinkName_;
  uint32_t debugLinkCrc_ = 0;
  std::vector<QVElfSegment> loadSegments_;
  std::vector<QVElfSection> sections_;
  uint64_t baseAddress_ = 0;
  mutable std::mutex elfMutex_;
};

// The architecture enumeration value for an ELF e_machine; Unknown for any
// machine the profiler does not support.
QVArchitecture ElfMachineToArchitecture(uint16_t machine);

}  // namespace Quorvel
