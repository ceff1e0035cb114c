#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVProcessIdRecord;

// A process of a system. The start time (nanoseconds since the Unix epoch,
// 0 when unknown) tells apart processes that reused a pid. Interned.
//
// Archive keys: "SystemId" (object, shared), "Pid" ("%lld"), "Order"
// ("0x%llx", the start time). An invalid id is an element without keys.
class QVProcessId : public QVInternedId<QVProcessIdRecord> {
 public:
  QVProcessId() = default;  // invalid

  static QVProcessId uniqueProcessId(const QVSystemId& systemId, int64_t pid, uint64_t startTime);
  static QVProcessId invalid() { return QVProcessId(); }

  QVSystemId asSystemId() const;
  // The Linux pid; -1 for the invalid id.
  int64_t nativeIdentifier() const;
  // The start time; 0 for the invalid id.
  uint64_t order() const;

  bool operator==(const QVProcessId& other) const { return record_ == other.record_; }
  bool operator!=(const QVProcessId& other) const { return record_ != other.record_; }
  // By system, pid, then start time; the invalid id first.
  bool operator<(const QVProcessId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVProcessId(const QVProcessIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVProcessId& id) { return id.hash(); }
// "pid 1234", or "invalid process id".
std::ostream& operator<<(std::ostream& os, const QVProcessId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVProcessId> {
  size_t operator()(const Quorvel::QVProcessId& id) const { return id.hash(); }
};
