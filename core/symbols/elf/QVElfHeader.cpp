#include "symbols/elf/QVElfHeader.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "symbols/elf/QVElfImage.h"
#include "system/QVFileDescriptor.h"

namespace Quorvel {

namespace {

// Through e_machine: the identification (16 bytes), e_type and e_machine.
constexpr size_t kHeaderBytes = 20;

bool ReadHeader(const std::string& path, uint64_t offset, unsigned char (&bytes)[kHeaderBytes]) {
  const QVFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.isOpen()) {
    return false;
  }
  size_t got = 0;
  while (got < kHeaderBytes) {
    const ssize_t n = ::pread(fd.get(), bytes + got, kHeaderBytes - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  return got == kHeaderBytes;
}

}  // namespace

QVElfHeader::QVElfHeader(const std::string& path, uint64_t offset) {
  unsigned char bytes[kHeaderBytes];
  if (!ReadHeader(path, offset, bytes) || std::memcmp(bytes, ELFMAG, SELFMAG) != 0) {
    return;
  }
  const unsigned char elfClass = bytes[EI_CLASS];
  const unsigned char byteOrder = bytes[EI_DATA];
  if ((elfClass != ELFCLASS32 && elfClass != ELFCLASS64) || (byteOrder != ELFDATA2LSB && byteOrder != ELFDATA2MSB) ||
      bytes[EI_VERSION] != EV_CURRENT) {
    return;
  }
  isElf_ = true;
  is64Bit_ = elfClass == ELFCLASS64;
  machine_ = byteOrder == ELFDATA2LSB ? static_cast<uint16_t>(bytes[18] | (bytes[19] << 8))
                                      : static_cast<uint16_t>((bytes[18] << 8) | bytes[19]);
  architecture_ = ElfMachineToArchitecture(machine_);
}

bool QVElfHeader::isElf(const std::string& path, uint64_t offset) { return QVElfHeader(path, offset).isElf(); }

}  // namespace Quorvel
