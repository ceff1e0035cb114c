#include "archivers/QVSystemCallTenureArchiver.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVSystemCallTenureArchiver::QVSystemCallTenureArchiver() = default;

QVSystemCallTenureArchiver::~QVSystemCallTenureArchiver() = default;

void QVSystemCallTenureArchiver::archive(const QVContext& context, const uint64_t& beginTick,
                                         const uint64_t& endTick, int number,
                                         const std::vector<uint64_t>& addresses) {
  std::shared_ptr<QVSystemCallTenure> tenure = std::make_shared<QVSystemCallTenure>(context, beginTick, endTick, number);
  tenure->setFrames(addresses);
  _addSample(std::move(tenure));
}

void QVSystemCallTenureArchiver::encodeWithArchiver(QVArchiver* archiver) const { _encodeSamples(archiver, "SysCall"); }

void QVSystemCallTenureArchiver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  _decodeSamples<QVSystemCallTenure>(unarchiver, "SysCall");
}

}  // namespace Quorvel
