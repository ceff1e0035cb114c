#pragma once

#include <memory>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionData.h"

namespace Quorvel {

// The call-stack samples of a session. The samples are written under
// "UniqueCallStacksV2" when they are held as shared frame trees (a
// QVUniqueCallStackTenureArchiver), else under "CallStacks" as one element
// per sample. Reading takes "UniqueCallStacksV2" into a unique archiver
// when present, else "CallStacks" into a plain one, so files of either
// kind read back.
class QVSessionDataCallStackTenures
    : public QVSessionData<std::shared_ptr<QVAbstractCallStackTenure>,
                           std::shared_ptr<QVAbstractCallStackTenureArchiver>> {
 public:
  using QVSessionData::QVSessionData;
  ~QVSessionDataCallStackTenures() override;

 protected:
  void _encodeSamples(QVArchiver* archiver) const override;
  void _decodeSamples(QVUnarchiver* unarchiver) override;
};

}  // namespace Quorvel
