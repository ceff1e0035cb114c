#pragma once

#include <functional>

#include "QVSystemDeviceId.h"

namespace Quorvel {

// A block device of a system, by its kernel name ("sda"). Interned; see
// QVSystemDeviceId for equality, ordering, stream form and archive keys.
class QVDiskId : public QVSystemDeviceId<QVDiskId> {
 public:
  static const char* const kWord;  // "disk"

  QVDiskId() = default;  // invalid
  static QVDiskId uniqueDiskId(const QVSystemId& systemId, const std::string& name) {
    return unique(systemId, name);
  }
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVDiskId> {
  size_t operator()(const Quorvel::QVDiskId& id) const { return id.hash(); }
};
