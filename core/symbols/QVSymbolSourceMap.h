#pragma once

#include <map>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "ids/QVFileId.h"
#include "ranges/QVIntervalTree.h"
#include "ranges/QVRange.h"

namespace Quorvel {

// The line information of one symbol, per source file, in two directions:
// the offset tables map a range of byte offsets within the symbol to the
// line it was built from, and the line tables map a line (a range of length
// 1) to the lowest offset of its code. Offsets of one file never overlap;
// code inlined from another file appears in that file's tables.
//
// Not thread-safe; QVSymbol fills it once and then only reads it.
//
// Archived as repeated "File" elements in file order, each holding "FileId"
// (object, shared) and "Ranges" (string: "<offset>:<length>:<line>" triples
// in decimal, separated by single blanks, in offset order). The line
// tables are derived from the offset tables and are not written.
class QVSymbolSourceMap : public QVArchivable, public QVUnarchivable {
 public:
  using Table = QVIntervalTree<int, int>;
  using Tables = std::map<QVFileId, Table>;

  QVSymbolSourceMap() = default;
  QVSymbolSourceMap(const QVSymbolSourceMap&) = delete;
  QVSymbolSourceMap& operator=(const QVSymbolSourceMap&) = delete;

  // Records that the offsets were built from the line. Ranges with a
  // non-positive length or a negative offset, and lines below 1, are
  // ignored: they carry no location.
  void addLine(const QVFileId& file, const QVRange<int>& offsets, int line);

  const Tables& offsetTables() const { return offsetTables_; }
  const Tables& lineTables() const { return lineTables_; }
  bool empty() const { return offsetTables_.empty(); }

  // The first file (in file order) whose offsets include the offset, with
  // its line; false, the invalid file id and line 0 when none does.
  bool lineForOffset(int offset, QVFileId& file, int& line) const;
  // The lowest offset built from that line of that file.
  bool offsetForLine(const QVFileId& file, int line, int& offset) const;

  // Replaces the contents with a copy of another map's tables.
  void copyFrom(const QVSymbolSourceMap& other);
  void clear();

  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Replaces the contents. Malformed "Ranges" text raises QVException.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  Tables offsetTables_;
  Tables lineTables_;
};

}  // namespace Quorvel
