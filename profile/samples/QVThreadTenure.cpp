#include "samples/QVThreadTenure.h"

#include <ostream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVThreadTenure::QVThreadTenure() : QVAbstractThreadTenure(), endReason_(EndReasonUnknown), priority_(-1) {}

QVThreadTenure::QVThreadTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick, EndReason endReason,
                               int priority)
    : QVAbstractThreadTenure(context, beginTick, endTick), endReason_(endReason), priority_(priority) {}

QVThreadTenure::~QVThreadTenure() = default;

void QVThreadTenure::setEndReason(EndReason reason) { endReason_ = reason; }

QVAbstractThreadTenure::EndReason QVThreadTenure::endReason() const { return endReason_; }

void QVThreadTenure::setPriority(int priority) { priority_ = priority; }

int QVThreadTenure::priority() const { return priority_; }

void QVThreadTenure::encodeWithArchiver(QVArchiver* archiver) const {
  QVContextTenure::encodeWithArchiver(archiver);
  archiver->encodeChar(endReasonArchiveChar(endReason_), "EndReason");
  archiver->encodeSigned(priority_, "Priority");
}

void QVThreadTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVContextTenure::decodeWithUnarchiver(unarchiver);
  char reason = 0;
  unarchiver->decodeChar("EndReason", reason);
  endReason_ = endReasonFromArchiveChar(reason);
  // Priorities are small; a hostile value is cut to the stored width.
  priority_ = static_cast<int32_t>(unarchiver->decodeSigned("Priority"));
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVThreadTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
