#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "ids/QVSystemId.h"

namespace Quorvel {

// A process of a system. The start time (nanoseconds since the Unix epoch,
// 0 when unknown) tells apart processes that reused a pid. Interned.
// Ordered by system, pid, then start time.
//
// Archive keys: "SystemId" (object, shared), "Pid" ("%lld"), "Order"
// ("0x%llx", the start time).
class QVProcessId : public QVInternedId<QVProcessId, QVSystemId, int64_t, uint64_t> {
 public:
  static constexpr const char* kKeys[] = {"SystemId", "Pid", "Order"};
  static constexpr const char* kInvalidText = "invalid process id";

  QVProcessId() = default;  // invalid

  static QVProcessId uniqueProcessId(const QVSystemId& systemId, int64_t pid, uint64_t startTime) {
    return _intern(systemId, pid, startTime);
  }

  QVSystemId asSystemId() const { return isValid() ? _field<0>() : QVSystemId(); }
  // The Linux pid; -1 for the invalid id.
  int64_t nativeIdentifier() const { return isValid() ? _field<1>() : -1; }
  // The start time; 0 for the invalid id.
  uint64_t order() const { return isValid() ? _field<2>() : 0; }

 private:
  friend QVInternedId;
  // "pid 1234".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVProcessId> : Quorvel::QVInternedIdHash {};
