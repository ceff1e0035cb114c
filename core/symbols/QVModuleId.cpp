#include "symbols/QVModuleId.h"

#include <ostream>

namespace Quorvel {

void QVModuleId::_describe(std::ostream& os) const {
  os << fileId().path() << " (" << ArchitectureToString(architecture()) << ")";
}

}  // namespace Quorvel
