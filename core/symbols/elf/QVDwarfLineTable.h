#pragma once

#include <cstdint>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// libdw's handle, kept opaque so that users need no elfutils headers.
struct Dwarf;

namespace Quorvel {

class QVElfImage;

struct QVSourceLine {
  std::string file;  // as the compiler recorded it, joined to its directory
  int line = 0;
  int column = 0;
};

// The lines of one source file that a range of code was built from.
struct QVSourceLineSpan {
  std::string file;
  int firstLine = 0;
  int lastLine = 0;

  bool operator==(const QVSourceLineSpan& other) const {
    return file == other.file && firstLine == other.firstLine && lastLine == other.lastLine;
  }
};

// Address to source line through the DWARF line programs of one image: the
// module's own, or its separate debug file's (addresses are the same in
// both). Nothing is read until the first question, since most modules of a
// profile never get one; each compilation unit's line program is decoded
// once, on its first question, and kept by libdw with the unit. Addresses are link-time addresses (a
// runtime address minus the module's load bias). Safe to use from several
// threads: questions are serialised on the image's lock, as neither libdw's
// nor libelf's handles are thread-safe and other readers share the image.
class QVDwarfLineTable {
 public:
  // Shares the image, whose libelf handle the DWARF reader works on.
  explicit QVDwarfLineTable(std::shared_ptr<const QVElfImage> image);
  ~QVDwarfLineTable();
  QVDwarfLineTable(const QVDwarfLineTable&) = delete;
  QVDwarfLineTable& operator=(const QVDwarfLineTable&) = delete;

  // False when no line row covers the address.
  bool sourceLineAt(uint64_t address, QVSourceLine& out);
  // Every file with its lowest and highest line among the rows of code in
  // [start, end), ordered by file name; rows of line 0 (code the compiler
  // could not attribute) are left out.
  std::vector<QVSourceLineSpan> sourceLinesIn(uint64_t start, uint64_t end);

  // Whether the DWARF data have been opened yet.
  bool isLoaded() const;
  // Why no line information could be read; empty before loading and when
  // it was read.
  std::string error() const;
  // Compilation units decoded so far.
  size_t decodedUnitCount() const;

 private:
  struct UnitRange {
    uint64_t start;
    uint64_t end;
    uint64_t unitOffset;
  };

  std::mutex& _lock() const;
  bool _load();
  bool _unitOffsetFromRanges(uint64_t address, uint64_t& unitOffset);
  void _buildRangeIndex();

  std::shared_ptr<const QVElfImage> image_;
  // Serialises questions to a table that was given no image.
  mutable std::mutex ownMutex_;
  bool loaded_ = false;
  std::string error_;
  Dwarf* dwarf_ = nullptr;
  // Units whose line program libdw has decoded (and keeps) so far.
  std::set<uint64_t> decodedUnits_;
  // Built only for images without .debug_aranges, where libdw cannot map
  // an address to its unit by itself.
  bool rangeIndexBuilt_ = false;
  std::vector<UnitRange> rangeIndex_;
};

}  // namespace Quorvel
