#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

namespace Quorvel {

// One file mapping of a process: where in its file the mapping starts and
// which file it is. The unwinder needs both to find the ELF image behind an
// address, even when no module could be made of the file.
struct QVSegment {
  uint64_t offset = 0;
  std::string path;

  QVSegment() = default;
  QVSegment(uint64_t offset_, std::string path_) : offset(offset_), path(std::move(path_)) {}

  bool operator==(const QVSegment& other) const { return offset == other.offset && path == other.path; }
  bool operator!=(const QVSegment& other) const { return !(*this == other); }

  // "<path>+0x<offset>".
  void getDescription(std::ostream& os) const;
};

std::ostream& operator<<(std::ostream& os, const QVSegment& segment);

}  // namespace Quorvel
