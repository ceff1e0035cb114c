#include "QVDiskId.h"

#include <memory>
#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVDiskIdRecord {
  size_t hash;
  QVSystemId system;
  std::string name;

  bool operator==(const QVDiskIdRecord& other) const { return system == other.system && name == other.name; }
};

namespace {
const std::string kEmpty;
}  // namespace

QVDiskId QVDiskId::uniqueDiskId(const QVSystemId& systemId, const std::string& name) {
  const QVDiskIdRecord candidate{QVInternHash(systemId.hash(), name), systemId, name};
  return QVDiskId(QVInternTable<QVDiskIdRecord>::shared().intern(candidate));
}

QVSystemId QVDiskId::asSystemId() const { return record_ ? record_->system : QVSystemId(); }

const std::string& QVDiskId::name() const { return record_ ? record_->name : kEmpty; }

bool QVDiskId::operator<(const QVDiskId& other) const {
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

size_t QVDiskId::hash() const { return record_ ? record_->hash : 0; }

void QVDiskId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->system, "SystemId");
  archiver->encodeString(record_->name, "Name");
}

void QVDiskId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("SystemId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey("SystemId", system);
  std::string name;
  unarchiver->decodeString("Name", name);
  *this = uniqueDiskId(*system, name);
}

std::ostream& operator<<(std::ostream& os, const QVDiskId& id) {
  if (!id.isValid()) {
    return os << "invalid disk id";
  }
  return os << "disk " << id.name();
}

}  // namespace Quorvel
