#pragma once

#include <cstdint>
#include <string>

#include "system/QVMachine.h"

namespace Quorvel {

// The identification of an ELF image: the first 20 bytes of its header
// (magic, class, byte order, version, type and machine), read at an offset
// of a file. Enough to decide whether a mapped file is worth opening as a
// module, without reading anything else of it.
class QVElfHeader {
 public:
  QVElfHeader(const std::string& path, uint64_t offset);

  // The magic, a known class and byte order, and header version 1.
  bool isElf() const { return isElf_; }
  // QVArchitectureUnknown when not ELF or for machines the profiler does
  // not support.
  QVArchitecture architecture() const { return architecture_; }
  bool is64Bit() const { return is64Bit_; }
  uint16_t machine() const { return machine_; }

  static bool isElf(const std::string& path, uint64_t offset);

 private:
  bool isElf_ = false;
  bool is64Bit_ = false;
  uint16_t machine_ = 0;
  QVArchitecture architecture_ = QVArchitectureUnknown;
};

}  // namespace Quorvel
