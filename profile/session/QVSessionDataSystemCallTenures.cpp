#include "session/QVSessionDataSystemCallTenures.h"

#include "archivers/QVSystemCallTenureArchiver.h"

namespace Quorvel {

QVSessionDataSystemCallTenures::~QVSessionDataSystemCallTenures() = default;

void QVSessionDataSystemCallTenures::_encodeSamples(QVArchiver* archiver) const {
  archiver->encodeObject(*samples_, "SysCalls");
}

void QVSessionDataSystemCallTenures::_decodeSamples(QVUnarchiver* unarchiver) {
  if (unarchiver->hasValueForKey("SysCalls")) {
    std::shared_ptr<QVSystemCallTenureArchiver> calls;
    unarchiver->decodeObjectForKey("SysCalls", calls);
    samples_ = calls;
  } else {
    samples_.reset();
  }
}

}  // namespace Quorvel
