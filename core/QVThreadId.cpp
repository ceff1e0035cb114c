#include "QVThreadId.h"

#include <memory>
#include <ostream>
#include <tuple>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVThreadIdRecord {
  size_t hash;
  QVProcessId process;
  int64_t tid;
  uint64_t start;

  bool operator==(const QVThreadIdRecord& other) const {
    return process == other.process && tid == other.tid && start == other.start;
  }
};

QVThreadId QVThreadId::uniqueThreadId(const QVProcessId& processId, int64_t tid, uint64_t start) {
  const QVThreadIdRecord candidate{QVInternHash(processId.hash(), tid, start), processId, tid, start};
  return QVThreadId(QVInternTable<QVThreadIdRecord>::shared().intern(candidate));
}

QVProcessId QVThreadId::asProcessId() const { return record_ ? record_->process : QVProcessId(); }

QVSystemId QVThreadId::asSystemId() const { return record_ ? record_->process.asSystemId() : QVSystemId(); }

int64_t QVThreadId::nativeIdentifier() const { return record_ ? record_->tid : -1; }

uint64_t QVThreadId::order() const { return record_ ? record_->start : 0; }

bool QVThreadId::operator<(const QVThreadId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->process != other.record_->process) {
    return record_->process < other.record_->process;
  }
  return std::tie(record_->tid, record_->start) < std::tie(other.record_->tid, other.record_->start);
}

size_t QVThreadId::hash() const { return record_ ? record_->hash : 0; }

void QVThreadId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->process, "ProcessId");
  archiver->encodeSigned(record_->tid, "Tid");
  archiver->encodeUnsigned(record_->start, "Order");
}

void QVThreadId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("ProcessId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVProcessId> process;
  unarchiver->decodeObjectForKey("ProcessId", process);
  const int64_t tid = unarchiver->decodeSigned("Tid");
  const uint64_t start = unarchiver->decodeUnsigned("Order");
  *this = uniqueThreadId(*process, tid, start);
}

std::ostream& operator<<(std::ostream& os, const QVThreadId& id) {
  if (!id.isValid()) {
    return os << "invalid thread id";
  }
  return os << "tid " << id.nativeIdentifier() << " of pid " << id.asProcessId().nativeIdentifier();
}

}  // namespace Quorvel
