#include "samples/QVAbstractCallStackTenure.h"

#include <ostream>

namespace Quorvel {

const char* QVAbstractCallStackTenure::schedulerStateName(char state) {
  switch (state) {
    case 'R':
      return "running";
    case 'S':
      return "sleeping";
    case 'D':
      return "disk";
    case 'T':
      return "stopped";
    case 't':
      return "traced";
    case 'Z':
      return "zombie";
    case 'X':
    case 'x':
      return "dead";
    case 'I':
      return "idle";
    case 'P':
      return "parked";
    default:
      return "unknown";
  }
}

QVAbstractCallStackTenure::QVAbstractCallStackTenure() : QVContextTenure() {}

QVAbstractCallStackTenure::QVAbstractCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick)
    : QVContextTenure(context, beginTick, endTick) {}

QVAbstractCallStackTenure::~QVAbstractCallStackTenure() = default;

const QVCallFrameTree* QVAbstractCallStackTenure::sharedFrameTree(int& leafDescriptor) const {
  leafDescriptor = -1;
  return nullptr;
}

std::ostream& operator<<(std::ostream& os, const QVAbstractCallStackTenure& tenure) {
  tenure.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractCallStackTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
