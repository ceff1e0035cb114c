// Feeds arbitrary bytes to the unarchiver: every input must end either in a
// complete read or in a QVException, never in a crash, a leak or a hang.
// The first byte picks how the document is read, so that both the generic
// walk and the typed object path (objid/objref) are exercised.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace {

using namespace Quorvel;

class Node : public QVUnarchivable {
 public:
  void decodeWithUnarchiver(QVUnarchiver* u) override {
    int major = 0, minor = 0;
    u->objectVersion(major, minor);
    std::string key;
    while (u->nextKey(key)) {
      if (key == "Node" || key == "Ref") {
        std::shared_ptr<Node> child;
        u->decodeObjectForKey(key, child);
        children_.push_back(child);
      } else if (key == "Data") {
        std::vector<unsigned char> data;
        u->decodeData(key, data);
      } else if (key == "Time") {
        boost::posix_time::ptime time;
        u->decodeTime(key, time);
      } else if (key == "Skip") {
        u->skipValueForKey(key);
      } else {
        u->decodeUnsigned(key);
      }
    }
  }
  // Weak, because a document may legitimately refer back to an enclosing
  // object, and shared children would then keep each other alive.
  std::vector<std::weak_ptr<Node>> children_;
};

void Walk(QVUnarchiver& u) {
  std::string key;
  while (u.nextKey(key)) {
    std::string value;
    u.attributeValue("esc", value);
    u.enterElement(key);
    Walk(u);
    u.leaveElement(key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const uint8_t mode = data[0] % 3;
  std::istringstream stream(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  try {
    std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
    std::string key;
    if (!unarchiver->nextKey(key)) {
      return 0;
    }
    if (mode == 0) {
      unarchiver->enterElement(key);
      Walk(*unarchiver);
      unarchiver->leaveElement(key);
    } else if (mode == 1) {
      std::shared_ptr<Node> root;
      unarchiver->decodeObjectForKey(key, root);
    } else {
      std::string value;
      unarchiver->decodeString(key, value);
    }
  } catch (const QVException&) {
    // Rejection is a correct outcome for malformed input.
  }
  return 0;
}
