#include "QVSystemId.h"

#include <unistd.h>

#include <fstream>
#include <ostream>
#include <tuple>

#include <boost/algorithm/string/trim.hpp>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVSystemIdRecord {
  size_t hash;
  std::string identifier;
  std::string name;

  bool operator==(const QVSystemIdRecord& other) const {
    return identifier == other.identifier && name == other.name;
  }
};

namespace {

const std::string kEmpty;

std::string HostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
    return "localhost";
  }
  return buffer;
}

std::string MachineIdentifier(const std::string& hostName) {
  std::ifstream file("/etc/machine-id");
  std::string identifier;
  if (file && std::getline(file, identifier)) {
    boost::algorithm::trim(identifier);
    if (!identifier.empty()) {
      return identifier;
    }
  }
  return hostName;
}

}  // namespace

QVSystemId QVSystemId::uniqueSystemId(const std::string& identifier, const std::string& name) {
  const QVSystemIdRecord candidate{QVInternHash(identifier, name), identifier, name};
  return QVSystemId(QVInternTable<QVSystemIdRecord>::shared().intern(candidate));
}

QVSystemId QVSystemId::currentSystemId() {
  static const QVSystemId current = [] {
    const std::string hostName = HostName();
    return uniqueSystemId(MachineIdentifier(hostName), hostName);
  }();
  return current;
}

const std::string& QVSystemId::identifier() const { return record_ ? record_->identifier : kEmpty; }

const std::string& QVSystemId::name() const { return record_ ? record_->name : kEmpty; }

bool QVSystemId::operator<(const QVSystemId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  return std::tie(record_->identifier, record_->name) < std::tie(other.record_->identifier, other.record_->name);
}

size_t QVSystemId::hash() const { return record_ ? record_->hash : 0; }

void QVSystemId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeString(record_->identifier, "Identifier");
  archiver->encodeString(record_->name, "Name");
}

void QVSystemId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("Identifier")) {
    record_ = nullptr;
    return;
  }
  std::string identifier;
  std::string name;
  unarchiver->decodeString("Identifier", identifier);
  unarchiver->decodeString("Name", name);
  *this = uniqueSystemId(identifier, name);
}

std::ostream& operator<<(std::ostream& os, const QVSystemId& id) {
  if (!id.isValid()) {
    return os << "invalid system id";
  }
  return os << "system " << (id.name().empty() ? id.identifier() : id.name());
}

}  // namespace Quorvel
