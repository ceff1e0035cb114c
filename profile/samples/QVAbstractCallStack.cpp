#include "samples/QVAbstractCallStack.h"

#include <iomanip>
#include <ostream>
#include <string>

#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {

QVAbstractCallStack::~QVAbstractCallStack() = default;

namespace {

// ceil(log10(size)): the digits of size-1 for sizes that are not powers of
// ten, one fewer for those (size 10 numbers its frames 0..9 in one digit).
int NumberWidth(int size) {
  int width = 0;
  for (long long limit = 1; limit < size; limit *= 10) {
    ++width;
  }
  return width;
}

}  // namespace

void QVAbstractCallStack::getDescription(std::ostream& os) const {
  const int count = size();
  const int width = NumberWidth(count);
  for (int i = 0; i < count; ++i) {
    const QVAbstractCallFrame* frame = frameAtIndex(i);
    os << std::string(static_cast<size_t>(2 * i), ' ') << "[" << std::setw(width) << (count - 1 - i) << "] ";
    if (frame != nullptr) {
      os << *frame;
    }
    os << "\n";
  }
}

bool QVAbstractCallStack::operator==(const QVAbstractCallStack& other) const {
  const int count = size();
  if (count != other.size()) {
    return false;
  }
  for (int i = 0; i < count; ++i) {
    const QVAbstractCallFrame* mine = frameAtIndex(i);
    const QVAbstractCallFrame* theirs = other.frameAtIndex(i);
    if (mine == nullptr || theirs == nullptr) {
      if (mine != theirs) {
        return false;
      }
    } else if (*mine != *theirs) {
      return false;
    }
  }
  return true;
}

std::ostream& operator<<(std::ostream& os, const QVAbstractCallStack& stack) {
  stack.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractCallStack>& stack) {
  if (stack) {
    stack->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
