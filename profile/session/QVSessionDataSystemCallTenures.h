#pragma once

#include <memory>

#include "archivers/QVAbstractSystemCallTenureArchiver.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "session/QVSessionData.h"

namespace Quorvel {

// The traced system calls of a session, written under "SysCalls" and read
// back into a QVSystemCallTenureArchiver.
class QVSessionDataSystemCallTenures
    : public QVSessionData<std::shared_ptr<QVAbstractSystemCallTenure>,
                           std::shared_ptr<QVAbstractSystemCallTenureArchiver>> {
 public:
  using QVSessionData::QVSessionData;
  ~QVSessionDataSystemCallTenures() override;

 protected:
  void _encodeSamples(QVArchiver* archiver) const override;
  void _decodeSamples(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
