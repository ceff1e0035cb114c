#include "Linux/unwind/QVSegment.h"

#include <ostream>

namespace Quorvel {

void QVSegment::getDescription(std::ostream& os) const {
  const std::ios_base::fmtflags flags = os.flags();
  os << path << "+0x" << std::hex << offset;
  os.flags(flags);
}

std::ostream& operator<<(std::ostream& os, const QVSegment& segment) {
  segment.getDescription(os);
  return os;
}

}  // namespace Quorvel
