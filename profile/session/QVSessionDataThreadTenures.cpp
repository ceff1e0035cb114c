#include "session/QVSessionDataThreadTenures.h"

#include "archivers/QVThreadTenureArchiver.h"

namespace Quorvel {

QVSessionDataThreadTenures::~QVSessionDataThreadTenures() = default;

void QVSessionDataThreadTenures::_encodeSamples(QVArchiver* archiver) const {
  archiver->encodeObject(*samples_, "Tenures");
}

void QVSessionDataThreadTenures::_decodeSamples(QVUnarchiver* unarchiver) {
  if (unarchiver->hasValueForKey("Tenures")) {
    std::shared_ptr<QVThreadTenureArchiver> tenures;
    unarchiver->decodeObjectForKey("Tenures", tenures);
    samples_ = tenures;
  } else {
    samples_.reset();
  }
}

}  // namespace Quorvel
