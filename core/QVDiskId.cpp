#include "QVDiskId.h"

namespace Quorvel {

const char* const QVDiskId::kWord = "disk";

}  // namespace Quorvel
