#include "archivers/QVCallStackTenureArchiver.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVCallStackTenureArchiver::QVCallStackTenureArchiver() = default;

QVCallStackTenureArchiver::~QVCallStackTenureArchiver() = default;

void QVCallStackTenureArchiver::archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                                        const std::vector<uint64_t>& addresses) {
  std::shared_ptr<QVCallStackTenure> tenure = std::make_shared<QVCallStackTenure>(context, beginTick, endTick);
  tenure->setFrames(addresses);
  _addSample(std::move(tenure));
}

void QVCallStackTenureArchiver::encodeWithArchiver(QVArchiver* archiver) const {
  _encodeSamples(archiver, "CallStack");
}

void QVCallStackTenureArchiver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  _decodeSamples<QVCallStackTenure>(unarchiver, "CallStack");
}

}  // namespace Quorvel
