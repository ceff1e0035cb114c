#include "QVSessionDataCallStackTenures.h"

#include "QVCallStackTenureArchiver.h"
#include "QVUniqueCallStackTenureArchiver.h"

namespace Quorvel {

QVSessionDataCallStackTenures::~QVSessionDataCallStackTenures() = default;

void QVSessionDataCallStackTenures::_encodeSamples(QVArchiver* archiver) const {
  if (dynamic_cast<const QVUniqueCallStackTenureArchiver*>(samples_.get()) != nullptr) {
    archiver->encodeObject(*samples_, "UniqueCallStacksV2");
  } else {
    archiver->encodeObject(*samples_, "CallStacks");
  }
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
