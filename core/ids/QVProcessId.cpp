#include "ids/QVProcessId.h"

#include <ostream>

namespace Quorvel {

void QVProcessId::_describe(std::ostream& os) const { os << "pid " << nativeIdentifier(); }

}  // namespace Quorvel
