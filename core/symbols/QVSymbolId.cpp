#include "symbols/QVSymbolId.h"

#include <ostream>

namespace Quorvel {

void QVSymbolId::_describe(std::ostream& os) const { os << asSectionId() << " symbol " << index(); }

}  // namespace Quorvel
