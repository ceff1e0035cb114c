#include "ids/QVThreadId.h"

#include <ostream>

namespace Quorvel {

void QVThreadId::_describe(std::ostream& os) const {
  os << "tid " << nativeIdentifier() << " of pid " << asProcessId().nativeIdentifier();
}

}  // namespace Quorvel
