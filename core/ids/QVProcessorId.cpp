#include "ids/QVProcessorId.h"

#include <ostream>

namespace Quorvel {

void QVProcessorId::_describe(std::ostream& os) const { os << "cpu " << index(); }

}  // namespace Quorvel
