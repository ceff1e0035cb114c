#include "QVNetworkId.h"

namespace Quorvel {

const char* const QVNetworkId::kWord = "network";

}  // namespace Quorvel
