#include "symbols/QVSymbolOwner.h"

namespace Quorvel {

// Out of line so that the interface's type information lives in this
// library only.
QVSymbolOwner::~QVSymbolOwner() = default;

}  // namespace Quorvel
