#include "symbols/elf/QVDwarfLineTable.h"

#include <dwarf.h>
#include <elfutils/libdw.h>

#include <algorithm>
#include <map>
#include <utility>

#include "base/QVLog.h"
#include "symbols/elf/QVElfImage.h"

namespace Quorvel {

QVDwarfLineTable::QVDwarfLineTable(std::shared_ptr<const QVElfImage> image) : image_(std::move(image)) {}

QVDwarfLineTable::~QVDwarfLineTable() {
  std::lock_guard<std::mutex> lock(_lock());
  if (dwarf_) {
    dwarf_end(dwarf_);
  }
}

std::mutex& QVDwarfLineTable::_lock() const { return image_ ? image_->elfLock() : ownMutex_; }

bool QVDwarfLineTable::isLoaded() const {
  std::lock_guard<std::mutex> lock(_lock());
  return loaded_;
}

std::string QVDwarfLineTable::error() const {
  std::lock_guard<std::mutex> lock(_lock());
  return error_;
}

size_t QVDwarfLineTable::decodedUnitCount() const {
  std::lock_guard<std::mutex> lock(_lock());
  return decodedUnits_.size();
}

bool QVDwarfLineTable::_load() {
  if (loaded_) {
    return dwarf_ != nullptr;
  }
  loaded_ = true;
  if (!image_ || !image_->isValid()) {
    error_ = image_ ? image_->error() : "no image";
    return false;
  }
  if (!image_->hasLineInfo()) {
    error_ = image_->path() + ": no line information";
    return false;
  }
  dwarf_ = dwarf_begin_elf(image_->elf(), DWARF_C_READ, nullptr);
  if (!dwarf_) {
    error_ = image_->path() + ": unreadable DWARF data: " + dwarf_errmsg(-1);
    QV_DEBUG(error_);
    return false;
  }
  return true;
}

void QVDwarfLineTable::_buildRangeIndex() {
  rangeIndexBuilt_ = true;
  Dwarf_Off offset = 0;
  Dwarf_Off next = 0;
  size_t headerSize = 0;
  while (dwarf_nextcu(dwarf_, offset, &next, &headerSize, nullptr, nullptr, nullptr) == 0) {
    Dwarf_Die unit;
    if (dwarf_offdie(dwarf_, offset + headerSize, &unit)) {
      Dwarf_Addr base = 0;
      Dwarf_Addr start = 0;
      Dwarf_Addr end = 0;
      ptrdiff_t cursor = 0;
      while ((cursor = dwarf_ranges(&unit, cursor, &base, &start, &end)) > 0) {
        if (start < end) {
          rangeIndex_.push_back({start, end, dwarf_dieoffset(&unit)});
        }
      }
    }
    offset = next;
  }
  std::sort(rangeIndex_.begin(), rangeIndex_.end(),
            [](const UnitRange& a, const UnitRange& b) { return a.start < b.start; });
  QV_DEBUG(image_->path() << ": indexed " << rangeIndex_.size() << " unit address ranges without aranges");
}

bool QVDwarfLineTable::_unitOffsetFromRanges(uint64_t address, uint64_t& unitOffset) {
  if (!rangeIndexBuilt_) {
    _buildRangeIndex();
  }
  auto after = std::upper_bound(rangeIndex_.begin(), rangeIndex_.end(), address,
                                [](uint64_t value, const UnitRange& range) { return value < range.start; });
  // Ranges of different units do not overlap in well-formed data, but a
  // unit's range list may nest inside a larger one of another, so look
  // back a little rather than only at the nearest start.
  for (int step = 0; step < 8 && after != rangeIndex_.begin(); ++step) {
    --after;
    if (address >= after->start && address < after->end) {
      unitOffset = after->unitOffset;
      return true;
    }
  }
  return false;
}

namespace {

// The unit through libdw's aranges, or through the table's own index of
// unit ranges for producers that write no .debug_aranges.
template <typename Fallback>
bool FindUnit(Dwarf* dwarf, uint64_t address, Dwarf_Die& unit, Fallback fallback) {
  if (dwarf_addrdie(dwarf, address, &unit)) {
    return true;
  }
  uint64_t unitOffset = 0;
  return fallback(address, unitOffset) && dwarf_offdie(dwarf, unitOffset, &unit) != nullptr;
}

// Producers write file names relative to the compilation directory when the
// compiler was invoked with relative paths (build caches do this on
// purpose); tools show them joined, and so must we to name the same file.
std::string UnitFilePath(Dwarf_Die& unit, const char* file) {
  if (file[0] == '/') {
    return file;
  }
  Dwarf_Attribute attribute;
  const char* directory = dwarf_formstring(dwarf_attr(&unit, DW_AT_comp_dir, &attribute));
  if (!directory || directory[0] == '\0') {
    return file;
  }
  std::string path(directory);
  if (path.back() != '/') {
    path += '/';
  }
  return path + file;
}

}  // namespace

bool QVDwarfLineTable::sourceLineAt(uint64_t address, QVSourceLine& out) {
  std::lock_guard<std::mutex> lock(_lock());
  if (!_load()) {
    return false;
  }
  Dwarf_Die unit;
  auto fallback = [this](uint64_t a, uint64_t& o) { return _unitOffsetFromRanges(a, o); };
  if (!FindUnit(dwarf_, address, unit, fallback)) {
    return false;
  }
  decodedUnits_.insert(dwarf_dieoffset(&unit));
  Dwarf_Line* row = dwarf_getsrc_die(&unit, address);
  if (!row) {
    return false;
  }
  int line = 0;
  int column = 0;
  const char* file = dwarf_linesrc(row, nullptr, nullptr);
  if (!file || dwarf_lineno(row, &line) != 0) {
    return false;
  }
  if (dwarf_linecol(row, &column) != 0) {
    column = 0;
  }
  out.file = UnitFilePath(unit, file);
  out.line = line;
  out.column = column;
  return true;
}

std::vector<QVSourceLineSpan> QVDwarfLineTable::sourceLinesIn(uint64_t start, uint64_t end) {
  std::vector<QVSourceLineSpan> spans;
  std::lock_guard<std::mutex> lock(_lock());
  if (start >= end || !_load()) {
    return spans;
  }
  Dwarf_Die unit;
  auto fallback = [this](uint64_t a, uint64_t& o) { return _unitOffsetFromRanges(a, o); };
  if (!FindUnit(dwarf_, start, unit, fallback)) {
    return spans;
  }
  decodedUnits_.insert(dwarf_dieoffset(&unit));
  Dwarf_Lines* lines = nullptr;
  size_t count = 0;
  if (dwarf_getsrclines(&unit, &lines, &count) != 0) {
    return spans;
  }
  std::map<std::string, std::pair<int, int>> byFile;
  auto add = [&byFile, &unit](Dwarf_Line* row) {
    int line = 0;
    const char* file = dwarf_linesrc(row, nullptr, nullptr);
    if (!file || dwarf_lineno(row, &line) != 0 || line <= 0) {
      return;
    }
    auto inserted = byFile.emplace(UnitFilePath(unit, file), std::make_pair(line, line));
    if (!inserted.second) {
      inserted.first->second.first = std::min(inserted.first->second.first, line);
      inserted.first->second.second = std::max(inserted.first->second.second, line);
    }
  };
  // The rows are sorted by address; a range that starts between two rows
  // is covered by the row before it.
  Dwarf_Line* before = nullptr;
  bool rowAtStart = false;
  for (size_t i = 0; i < count; ++i) {
    Dwarf_Line* row = dwarf_onesrcline(lines, i);
    Dwarf_Addr address = 0;
    bool endSequence = false;
    if (!row || dwarf_lineaddr(row, &address) != 0 || dwarf_lineendsequence(row, &endSequence) != 0) {
      continue;
    }
    if (address < start) {
      before = endSequence ? nullptr : row;
    } else if (address < end && !endSequence) {
      rowAtStart = rowAtStart || address == start;
      add(row);
    }
  }
  if (before && !rowAtStart) {
    add(before);
  }
  for (const auto& entry : byFile) {
    spans.push_back({entry.first, entry.second.first, entry.second.second});
  }
  return spans;
}

}  // namespace Quorvel
