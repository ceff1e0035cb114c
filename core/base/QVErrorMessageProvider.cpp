#include "base/QVErrorMessageProvider.h"

namespace Quorvel {

// Defined out of line so that the class's vtable lives in the core library.
QVErrorMessageProvider::~QVErrorMessageProvider() = default;

bool QVErrorMessageProvider::getErrorMessage(std::ostream& /*os*/, const std::string& /*id*/) const { return false; }

bool QVErrorMessageProvider::getWarningMessage(std::ostream& /*os*/, const std::string& /*id*/) const { return false; }

}  // namespace Quorvel
