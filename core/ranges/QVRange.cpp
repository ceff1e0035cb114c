#include "ranges/QVRange.h"

namespace Quorvel {

// The instances the library uses, compiled here so that the library carries
// them whole. They are not declared extern in the header: GCC then emits
// their constexpr members nowhere, and unoptimised builds fail to link.
template class QVRange<unsigned long>;
template class QVRange<int>;
template class QVRange<long>;

}  // namespace Quorvel
