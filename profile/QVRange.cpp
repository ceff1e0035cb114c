#include "QVRange.h"

namespace Quorvel {

// The instances the library uses, compiled once here so that every user of
// the header shares one copy of the archiving code and the static members.
template class QVRange<unsigned long>;
template class QVRange<int>;
template class QVRange<long>;

}  // namespace Quorvel
