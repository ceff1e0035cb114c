#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "QVInternedId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVNetworkIdRecord;

// A network interface of a system, by its kernel name ("eth0"). Interned.
//
// Archive keys: "SystemId" (object, shared), "Name" (string). An invalid id
// is an element without keys.
class QVNetworkId : public QVInternedId<QVNetworkIdRecord> {
 public:
  QVNetworkId() = default;  // invalid

  static QVNetworkId uniqueNetworkId(const QVSystemId& systemId, const std::string& name);
  static QVNetworkId invalid() { return QVNetworkId(); }

  QVSystemId asSystemId() const;
  // Empty for the invalid id.
  const std::string& name() const;

  bool operator==(const QVNetworkId& other) const { return record_ == other.record_; }
  bool operator!=(const QVNetworkId& other) const { return record_ != other.record_; }
  // By system, then name; the invalid id first.
  bool operator<(const QVNetworkId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVNetworkId(const QVNetworkIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVNetworkId& id) { return id.hash(); }
// "network eth0", or "invalid network id".
std::ostream& operator<<(std::ostream& os, const QVNetworkId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVNetworkId> {
  size_t operator()(const Quorvel::QVNetworkId& id) const { return id.hash(); }
};
