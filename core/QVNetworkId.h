#pragma once

#include <functional>

#include "QVSystemDeviceId.h"

namespace Quorvel {

// A network interface of a system, by its kernel name ("eth0"). Interned;
// see QVSystemDeviceId for equality, ordering, stream form and archive keys.
class QVNetworkId : public QVSystemDeviceId<QVNetworkId> {
 public:
  static const char* const kWord;  // "network"

  QVNetworkId() = default;  // invalid
  static QVNetworkId uniqueNetworkId(const QVSystemId& systemId, const std::string& name) {
    return unique(systemId, name);
  }
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVNetworkId> {
  size_t operator()(const Quorvel::QVNetworkId& id) const { return id.hash(); }
};
