#include "config/QVPerfMonEventId.h"

#include <ostream>
#include <utility>

#include <boost/functional/hash.hpp>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVPerfMonEventId::QVPerfMonEventId(std::string identifier, std::string name, std::string group)
    : identifier_(std::move(identifier)), name_(std::move(name)), group_(std::move(group)) {}

void QVPerfMonEventId::getDescription(std::ostream& os) const {
  if (!group_.empty()) {
    os << group_ << ':';
  }
  os << name_ << " [" << identifier_ << ']';
}

void QVPerfMonEventId::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(identifier_, "Identifier");
  archiver->encodeString(name_, "Name");
  archiver->encodeString(group_, "Group");
}

void QVPerfMonEventId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeString("Identifier", identifier_);
  unarchiver->decodeString("Name", name_);
  unarchiver->decodeString("Group", group_);
}

bool operator==(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return a.identifier() == b.identifier(); }
bool operator!=(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return !(a == b); }
bool operator<(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return a.identifier() < b.identifier(); }
bool operator>(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return b < a; }
bool operator<=(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return !(b < a); }
bool operator>=(const QVPerfMonEventId& a, const QVPerfMonEventId& b) { return !(a < b); }

std::size_t hash_value(const QVPerfMonEventId& id) {
  std::size_t seed = 0;
  boost::hash_combine(seed, id.identifier());
  return seed;
}

std::ostream& operator<<(std::ostream& os, const QVPerfMonEventId& id) {
  id.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVPerfMonEventId>& id) {
  if (id) {
    id->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
