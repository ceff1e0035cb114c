#pragma once

#include <functional>

#include "ids/QVSystemDeviceId.h"

namespace Quorvel {

// A network interface of a system, by its kernel name ("eth0"). Interned;
// see QVSystemDeviceId for equality, ordering, stream form and archive keys.
class QVNetworkId : public QVSystemDeviceId<QVNetworkId> {
 public:
  static constexpr const char* kWord = "network";
  static constexpr const char* kInvalidText = "invalid network id";

  QVNetworkId() = default;  // invalid
  static QVNetworkId uniqueNetworkId(const QVSystemId& systemId, const std::string& name) {
    return _intern(systemId, name);
  }
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVNetworkId> : Quorvel::QVInternedIdHash {};
