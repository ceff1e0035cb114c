#include "data/QVConfig.h"

#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVConfig::QVConfig(std::string name, std::string description)
    : name_(std::move(name)), description_(std::move(description)) {}

void QVConfig::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(name_, "Name");
  archiver->encodeString(description_, "Description");
}

void QVConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeString("Name", name_);
  // Hand-written configuration documents may leave the description out.
  if (unarchiver->hasValueForKey("Description")) {
    unarchiver->decodeString("Description", description_);
  } else {
    description_.clear();
  }
}

}  // namespace Quorvel
