#include "QVProcessId.h"

#include <memory>
#include <ostream>
#include <tuple>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVProcessIdRecord {
  size_t hash;
  QVSystemId system;
  int64_t pid;
  uint64_t startTime;

  bool operator==(const QVProcessIdRecord& other) const {
    return system == other.system && pid == other.pid && startTime == other.startTime;
  }
};

QVProcessId QVProcessId::uniqueProcessId(const QVSystemId& systemId, int64_t pid, uint64_t startTime) {
  const QVProcessIdRecord candidate{QVInternHash(systemId.hash(), pid, startTime), systemId, pid, startTime};
  return QVProcessId(QVInternTable<QVProcessIdRecord>::shared().intern(candidate));
}

QVSystemId QVProcessId::asSystemId() const { return record_ ? record_->system : QVSystemId(); }

int64_t QVProcessId::nativeIdentifier() const { return record_ ? record_->pid : -1; }

uint64_t QVProcessId::order() const { return record_ ? record_->startTime : 0; }

bool QVProcessId::operator<(const QVProcessId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->system != other.record_->system) {
    return record_->system < other.record_->system;
  }
  return std::tie(record_->pid, record_->startTime) < std::tie(other.record_->pid, other.record_->startTime);
}

size_t QVProcessId::hash() const { return record_ ? record_->hash : 0; }

void QVProcessId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->system, "SystemId");
  archiver->encodeSigned(record_->pid, "Pid");
  archiver->encodeUnsigned(record_->startTime, "Order");
}

void QVProcessId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("SystemId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey("SystemId", system);
  const int64_t pid = unarchiver->decodeSigned("Pid");
  const uint64_t startTime = unarchiver->decodeUnsigned("Order");
  *this = uniqueProcessId(*system, pid, startTime);
}

std::ostream& operator<<(std::ostream& os, const QVProcessId& id) {
  if (!id.isValid()) {
    return os << "invalid process id";
  }
  return os << "pid " << id.nativeIdentifier();
}

}  // namespace Quorvel
