#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

UsageError::UsageError(const std::string& command, const std::string& message)
    : std::runtime_error(message), command_(command) {}

}  // namespace qvprof
}  // namespace Quorvel
