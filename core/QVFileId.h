#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "QVInternedId.h"

namespace Quorvel {

struct QVFileIdRecord;

// A file by its path (source files, module images). Interned.
//
// Archive key: "Path" (string). An invalid id is an element without keys.
class QVFileId : public QVInternedId<QVFileIdRecord> {
 public:
  QVFileId() = default;  // invalid

  static QVFileId uniqueFileId(const std::string& path);
  static QVFileId invalid() { return QVFileId(); }

  // Empty for the invalid id.
  const std::string& path() const;

  bool operator==(const QVFileId& other) const { return record_ == other.record_; }
  bool operator!=(const QVFileId& other) const { return record_ != other.record_; }
  // By path; the invalid id first.
  bool operator<(const QVFileId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVFileId(const QVFileIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVFileId& id) { return id.hash(); }
// The path, or "invalid file id".
std::ostream& operator<<(std::ostream& os, const QVFileId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVFileId> {
  size_t operator()(const Quorvel::QVFileId& id) const { return id.hash(); }
};
