#include "samples/QVAbstractSystemCallTenure.h"

#include <ostream>

namespace Quorvel {

QVAbstractSystemCallTenure::~QVAbstractSystemCallTenure() = default;

void QVAbstractSystemCallTenure::getDescription(std::ostream& os) const { os << "System Call - number:" << number(); }

std::ostream& operator<<(std::ostream& os, const QVAbstractSystemCallTenure& tenure) {
  tenure.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractSystemCallTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
