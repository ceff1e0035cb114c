#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"

namespace Quorvel {

// A thread of a process. The start value (nanoseconds since the Unix epoch,
// 0 when unknown) tells apart threads that reused a tid. Interned. Ordered
// by process, tid, then start value.
//
// Archive keys: "ProcessId" (object, shared), "Tid" ("%lld"), "Order"
// ("0x%llx", the start value).
class QVThreadId : public QVInternedId<QVThreadId, QVProcessId, int64_t, uint64_t> {
 public:
  static constexpr const char* kKeys[] = {"ProcessId", "Tid", "Order"};
  static constexpr const char* kInvalidText = "invalid thread id";

  QVThreadId() = default;  // invalid

  static QVThreadId uniqueThreadId(const QVProcessId& processId, int64_t tid, uint64_t start) {
    return _intern(processId, tid, start);
  }

  QVProcessId asProcessId() const { return isValid() ? _field<0>() : QVProcessId(); }
  QVSystemId asSystemId() const { return asProcessId().asSystemId(); }
  // The Linux tid; -1 for the invalid id.
  int64_t nativeIdentifier() const { return isValid() ? _field<1>() : -1; }
  // The start value; 0 for the invalid id.
  uint64_t order() const { return isValid() ? _field<2>() : 0; }

 private:
  friend QVInternedId;
  // "tid 1234 of pid 1200".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVThreadId> : Quorvel::QVInternedIdHash {};
