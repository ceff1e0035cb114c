#pragma once

#include <memory>

#include "archivers/QVAbstractThreadTenureArchiver.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionData.h"

namespace Quorvel {

// The thread-scheduling tenures of a session, written under "Tenures" and
// read back into a QVThreadTenureArchiver.
class QVSessionDataThreadTenures
    : public QVSessionData<std::shared_ptr<QVAbstractThreadTenure>, std::shared_ptr<QVAbstractThreadTenureArchiver>> {
 public:
  using QVSessionData::QVSessionData;
  ~QVSessionDataThreadTenures() override;

 protected:
  void _encodeSamples(QVArchiver* archiver) const override;
  void _decodeSamples(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
