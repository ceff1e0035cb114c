#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "QVInternedId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVFileIdRecord;

// A file by its path (source files, module images), or a name that stands
// for a file only within one boot of one machine (kernel modules, whose
// images live in kernel memory and whose names are reused across boots).
// Interned.
//
// Archive keys: "Path" (string); for the per-boot form also "SystemId"
// (object, shared) and "Time" ("0x%llx", the boot time). An invalid id is
// an element without keys.
class QVFileId : public QVInternedId<QVFileIdRecord> {
 public:
  QVFileId() = default;  // invalid

  static QVFileId uniqueFileId(const std::string& path);
  // `name` within the boot of `systemId` that began at `time` (nanoseconds
  // since the Unix epoch). Never equal to the path form of the same text,
  // except that the invalid system with time 0 is the path form.
  static QVFileId uniqueFileId(const QVSystemId& systemId, const std::string& name, uint64_t time);
  static QVFileId invalid() { return QVFileId(); }

  // Empty for the invalid id.
  const std::string& path() const;
  // The invalid system and 0 for the path form.
  QVSystemId systemId() const;
  uint64_t time() const;

  bool operator==(const QVFileId& other) const { return record_ == other.record_; }
  bool operator!=(const QVFileId& other) const { return record_ != other.record_; }
  // By path, then system and time; the invalid id first.
  bool operator<(const QVFileId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVFileId(const QVFileIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVFileId& id) { return id.hash(); }
// The path (the per-boot form adds " [<system>, boot 0x<time>]"), or
// "invalid file id".
std::ostream& operator<<(std::ostream& os, const QVFileId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVFileId> {
  size_t operator()(const Quorvel::QVFileId& id) const { return id.hash(); }
};
