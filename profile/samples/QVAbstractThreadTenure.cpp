#include "samples/QVAbstractThreadTenure.h"

#include <ostream>

namespace Quorvel {

namespace {

struct EndReasonText {
  const char* description;
  char archiveChar;
};

// Indexed by EndReason.
constexpr EndReasonText kEndReasons[] = {
    {"Unknown", 'X'}, {"Preempted", 'P'}, {"Yield", 'Y'}, {"Sleep", 'S'}, {"Exit", 'E'},
};
constexpr uint32_t kEndReasonCount = sizeof(kEndReasons) / sizeof(kEndReasons[0]);

}  // namespace

QVAbstractThreadTenure::~QVAbstractThreadTenure() = default;

void QVAbstractThreadTenure::getDescription(std::ostream& os) const {
  os << "Thread Tenure - cpu:" << context().processorIndex() << " tid:" << context().threadId().nativeIdentifier()
     << " duration:" << durationTicks() << "ticks endReason:" << endReasonDescription(endReason());
}

const char* QVAbstractThreadTenure::endReasonDescription(EndReason reason) {
  return reason < kEndReasonCount ? kEndReasons[reason].description : kEndReasons[EndReasonUnknown].description;
}

char QVAbstractThreadTenure::endReasonArchiveChar(EndReason reason) {
  return reason < kEndReasonCount ? kEndReasons[reason].archiveChar : kEndReasons[EndReasonUnknown].archiveChar;
}

QVAbstractThreadTenure::EndReason QVAbstractThreadTenure::endReasonFromArchiveChar(char character) {
  for (uint32_t reason = 0; reason < kEndReasonCount; ++reason) {
    if (kEndReasons[reason].archiveChar == character) {
      return static_cast<EndReason>(reason);
    }
  }
  return EndReasonUnknown;
}

std::ostream& operator<<(std::ostream& os, const QVAbstractThreadTenure& tenure) {
  tenure.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractThreadTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
