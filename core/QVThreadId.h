#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVProcessId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVThreadIdRecord;

// A thread of a process. The start value (nanoseconds since the Unix epoch,
// 0 when unknown) tells apart threads that reused a tid. Interned.
//
// Archive keys: "ProcessId" (object, shared), "Tid" ("%lld"), "Order"
// ("0x%llx", the start value). An invalid id is an element without keys.
class QVThreadId : public QVInternedId<QVThreadIdRecord> {
 public:
  QVThreadId() = default;  // invalid

  static QVThreadId uniqueThreadId(const QVProcessId& processId, int64_t tid, uint64_t start);
  static QVThreadId invalid() { return QVThreadId(); }

  QVProcessId asProcessId() const;
  QVSystemId asSystemId() const;
  // The Linux tid; -1 for the invalid id.
  int64_t nativeIdentifier() const;
  // The start value; 0 for the invalid id.
  uint64_t order() const;

  bool operator==(const QVThreadId& other) const { return record_ == other.record_; }
  bool operator!=(const QVThreadId& other) const { return record_ != other.record_; }
  // By process, tid, then start value; the invalid id first.
  bool operator<(const QVThreadId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVThreadId(const QVThreadIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVThreadId& id) { return id.hash(); }
// "tid 1234 of pid 1200", or "invalid thread id".
std::ostream& operator<<(std::ostream& os, const QVThreadId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVThreadId> {
  size_t operator()(const Quorvel::QVThreadId& id) const { return id.hash(); }
};
