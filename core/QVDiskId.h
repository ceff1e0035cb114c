#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "QVInternedId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVDiskIdRecord;

// A block device of a system, by its kernel name ("sda"). Interned.
//
// Archive keys: "SystemId" (object, shared), "Name" (string). An invalid id
// is an element without keys.
class QVDiskId : public QVInternedId<QVDiskIdRecord> {
 public:
  QVDiskId() = default;  // invalid

  static QVDiskId uniqueDiskId(const QVSystemId& systemId, const std::string& name);
  static QVDiskId invalid() { return QVDiskId(); }

  QVSystemId asSystemId() const;
  // Empty for the invalid id.
  const std::string& name() const;

  bool operator==(const QVDiskId& other) const { return record_ == other.record_; }
  bool operator!=(const QVDiskId& other) const { return record_ != other.record_; }
  // By system, then name; the invalid id first.
  bool operator<(const QVDiskId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVDiskId(const QVDiskIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVDiskId& id) { return id.hash(); }
// "disk sda", or "invalid disk id".
std::ostream& operator<<(std::ostream& os, const QVDiskId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVDiskId> {
  size_t operator()(const Quorvel::QVDiskId& id) const { return id.hash(); }
};
