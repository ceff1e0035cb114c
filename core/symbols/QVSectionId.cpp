#include "symbols/QVSectionId.h"

#include <ostream>

namespace Quorvel {

void QVSectionId::_describe(std::ostream& os) const { os << asModuleId() << " section " << index(); }

}  // namespace Quorvel
