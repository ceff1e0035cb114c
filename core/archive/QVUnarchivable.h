#pragma once

namespace Quorvel {

class QVUnarchiver;

// An object that reads itself back from the keys it wrote, in the same order.
class QVUnarchivable {
 public:
  virtual ~QVUnarchivable() = default;
  virtual void decodeWithUnarchiver(QVUnarchiver* unarchiver) = 0;
};

}  // namespace Quorvel
