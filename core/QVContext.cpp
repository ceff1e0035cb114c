#include "QVContext.h"

#include <memory>
#include <ostream>
#include <tuple>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVContextRecord {
  size_t hash;
  QVThreadId thread;
  int processorIndex;
  int state;

  bool operator==(const QVContextRecord& other) const {
    return thread == other.thread && processorIndex == other.processorIndex && state == other.state;
  }
};

QVContext QVContext::uniqueContext(const QVThreadId& threadId, int processorIndex, int state) {
  const QVContextRecord candidate{QVInternHash(threadId.hash(), processorIndex, state), threadId, processorIndex,
                                  state};
  return QVContext(QVInternTable<QVContextRecord>::shared().intern(candidate));
}

QVThreadId QVContext::threadId() const { return record_ ? record_->thread : QVThreadId(); }

QVProcessId QVContext::asProcessId() const { return record_ ? record_->thread.asProcessId() : QVProcessId(); }

QVSystemId QVContext::asSystemId() const { return record_ ? record_->thread.asSystemId() : QVSystemId(); }

int QVContext::processorIndex() const { return record_ ? record_->processorIndex : -1; }

int QVContext::state() const { return record_ ? record_->state : 0; }

bool QVContext::operator<(const QVContext& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->thread != other.record_->thread) {
    return record_->thread < other.record_->thread;
  }
  return std::tie(record_->processorIndex, record_->state) <
         std::tie(other.record_->processorIndex, other.record_->state);
}

size_t QVContext::hash() const { return record_ ? record_->hash : 0; }

void QVContext::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->thread, "ThreadId");
  archiver->encodeSigned(record_->processorIndex, "Processor");
  archiver->encodeSigned(record_->state, "State");
}

void QVContext::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("ThreadId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVThreadId> thread;
  unarchiver->decodeObjectForKey("ThreadId", thread);
  const int64_t processor = unarchiver->decodeSigned("Processor");
  const int64_t state = unarchiver->decodeSigned("State");
  *this = uniqueContext(*thread, static_cast<int>(processor), static_cast<int>(state));
}

std::ostream& operator<<(std::ostream& os, const QVContext& context) {
  if (!context.isValid()) {
    return os << "invalid context";
  }
  os << "context tid " << context.threadId().nativeIdentifier() << " cpu " << context.processorIndex() << ' ';
  switch (context.state()) {
    case QVContext::StateUser:
      return os << "user";
    case QVContext::StateSupervisor:
      return os << "supervisor";
    default:
      return os << "state " << context.state();
  }
}

}  // namespace Quorvel
