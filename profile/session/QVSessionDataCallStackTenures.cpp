#include "session/QVSessionDataCallStackTenures.h"

#include "archivers/QVCallStackTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"

namespace Quorvel {

QVSessionDataCallStackTenures::~QVSessionDataCallStackTenures() = default;

void QVSessionDataCallStackTenures::_encodeSamples(QVArchiver* archiver) const {
  archiver->encodeObject(*samples_, samples_->sessionKey());
}

void QVSessionDataCallStackTenures::_decodeSamples(QVUnarchiver* unarchiver) {
  if (unarchiver->hasValueForKey("UniqueCallStacksV2")) {
    std::shared_ptr<QVUniqueCallStackTenureArchiver> unique;
    unarchiver->decodeObjectForKey("UniqueCallStacksV2", unique);
    samples_ = unique;
  } else if (unarchiver->hasValueForKey("CallStacks")) {
    std::shared_ptr<QVCallStackTenureArchiver> plain;
    unarchiver->decodeObjectForKey("CallStacks", plain);
    samples_ = plain;
  } else {
    samples_.reset();
  }
}

}  // namespace Quorvel
