#pragma once

#include <functional>

#include "ids/QVSystemDeviceId.h"

namespace Quorvel {

// A block device of a system, by its kernel name ("sda"). Interned; see
// QVSystemDeviceId for equality, ordering, stream form and archive keys.
class QVDiskId : public QVSystemDeviceId<QVDiskId> {
 public:
  static constexpr const char* kWord = "disk";
  static constexpr const char* kInvalidText = "invalid disk id";

  QVDiskId() = default;  // invalid
  static QVDiskId uniqueDiskId(const QVSystemId& systemId, const std::string& name) {
    return _intern(systemId, name);
  }
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVDiskId> : Quorvel::QVInternedIdHash {};
