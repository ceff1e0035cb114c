#include "ranges/QVIntervalTree.h"

namespace Quorvel {

// Source-line tables search this instance directly; compiling it here also
// checks every member of the template, not just the ones callers use.
template class QVIntervalTree<int, int>;

}  // namespace Quorvel
