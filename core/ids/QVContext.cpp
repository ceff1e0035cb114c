#include "ids/QVContext.h"

#include <ostream>

namespace Quorvel {

void QVContext::_describe(std::ostream& os) const {
  os << "context tid " << threadId().nativeIdentifier() << " cpu " << processorIndex() << ' ';
  switch (state()) {
    case StateUser:
      os << "user";
      break;
    case StateSupervisor:
      os << "supervisor";
      break;
    default:
      os << "state " << state();
  }
}

}  // namespace Quorvel
