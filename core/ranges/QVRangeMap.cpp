#include "ranges/QVRangeMap.h"

namespace Quorvel {

// The per-file source-location tables. The other instances hold model
// classes and are compiled with them.
template class QVRangeMap<int, int>;

}  // namespace Quorvel
