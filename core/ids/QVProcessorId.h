#pragma once

#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "ids/QVSystemId.h"

namespace Quorvel {

// A logical processor of a system, by its index. Interned. Ordered by
// system, then index.
//
// Archive keys: "SystemId" (object, shared), "Index" ("%lld").
class QVProcessorId : public QVInternedId<QVProcessorId, QVSystemId, int> {
 public:
  static constexpr const char* kKeys[] = {"SystemId", "Index"};
  static constexpr const char* kInvalidText = "invalid processor id";

  QVProcessorId() = default;  // invalid

  static QVProcessorId uniqueProcessorId(const QVSystemId& systemId, int index) { return _intern(systemId, index); }

  QVSystemId asSystemId() const { return isValid() ? _field<0>() : QVSystemId(); }
  // -1 for the invalid id.
  int index() const { return isValid() ? _field<1>() : -1; }

 private:
  friend QVInternedId;
  // "cpu 3".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVProcessorId> : Quorvel::QVInternedIdHash {};
