#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "QVInternedId.h"

namespace Quorvel {

struct QVSystemIdRecord;

// A machine: a stable identifier (the machine id, or the host name where
// there is none) and a display name. Interned: equal fields give one shared
// instance.
//
// Archive keys: "Identifier" (string), "Name" (string). An invalid id is an
// element without keys.
class QVSystemId : public QVInternedId<QVSystemIdRecord> {
 public:
  QVSystemId() = default;  // invalid

  static QVSystemId uniqueSystemId(const std::string& identifier, const std::string& name);
  static QVSystemId invalid() { return QVSystemId(); }
  // This machine: identifier from /etc/machine-id when readable, else the
  // host name; name is the host name. Read once.
  static QVSystemId currentSystemId();

  // Empty strings for the invalid id.
  const std::string& identifier() const;
  const std::string& name() const;

  bool operator==(const QVSystemId& other) const { return record_ == other.record_; }
  bool operator!=(const QVSystemId& other) const { return record_ != other.record_; }
  // By identifier, then name; the invalid id first.
  bool operator<(const QVSystemId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVSystemId(const QVSystemIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVSystemId& id) { return id.hash(); }
// "system <name>", or "invalid system id".
std::ostream& operator<<(std::ostream& os, const QVSystemId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSystemId> {
  size_t operator()(const Quorvel::QVSystemId& id) const { return id.hash(); }
};
