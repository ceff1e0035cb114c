#include "QVProfUsageError.h"

namespace Quorvel {
namespace qvprof {

QVProfUsageError::QVProfUsageError(const std::string& command, const std::string& message)
    : std::runtime_error(message), command_(command) {}

}  // namespace qvprof
}  // namespace Quorvel
