#include "archivers/QVThreadTenureArchiver.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVThreadTenureArchiver::QVThreadTenureArchiver() = default;

QVThreadTenureArchiver::~QVThreadTenureArchiver() = default;

void QVThreadTenureArchiver::archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                                     QVAbstractThreadTenure::EndReason endReason, int priority) {
  _addSample(std::make_shared<QVThreadTenure>(context, beginTick, endTick, endReason, priority));
}

void QVThreadTenureArchiver::encodeWithArchiver(QVArchiver* archiver) const { _encodeSamples(archiver, "Tenure"); }

void QVThreadTenureArchiver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  _decodeSamples<QVThreadTenure>(unarchiver, "Tenure");
}

}  // namespace Quorvel
