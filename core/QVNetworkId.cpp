#include "QVNetworkId.h"

#include <memory>
#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVNetworkIdRecord {
  size_t hash;
  QVSystemId system;
  std::string name;

  bool operator==(const QVNetworkIdRecord& other) const { return system == other.system && name == other.name; }
};

namespace {
const std::string kEmpty;
}  // namespace

QVNetworkId QVNetworkId::uniqueNetworkId(const QVSystemId& systemId, const std::string& name) {
  const QVNetworkIdRecord candidate{QVInternHash(systemId.hash(), name), systemId, name};
  return QVNetworkId(QVInternTable<QVNetworkIdRecord>::shared().intern(candidate));
}

QVSystemId QVNetworkId::asSystemId() const { return record_ ? record_->system : QVSystemId(); }

const std::string& QVNetworkId::name() const { return record_ ? record_->name : kEmpty; }

bool QVNetworkId::operator<(const QVNetworkId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->system != other.record_->system) {
    return record_->system < other.record_->system;
  }
  return record_->name < other.record_->name;
}

size_t QVNetworkId::hash() const { return record_ ? record_->hash : 0; }

void QVNetworkId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->system, "SystemId");
  archiver->encodeString(record_->name, "Name");
}

void QVNetworkId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("SystemId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey("SystemId", system);
  std::string name;
  unarchiver->decodeString("Name", name);
  *this = uniqueNetworkId(*system, name);
}

std::ostream& operator<<(std::ostream& os, const QVNetworkId& id) {
  if (!id.isValid()) {
    return os << "invalid network id";
  }
  return os << "network " << id.name();
}

}  // namespace Quorvel
