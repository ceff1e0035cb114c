#include "QVProcessorId.h"

#include <memory>
#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVProcessorIdRecord {
  size_t hash;
  QVSystemId system;
  int index;

  bool operator==(const QVProcessorIdRecord& other) const { return system == other.system && index == other.index; }
};

QVProcessorId QVProcessorId::uniqueProcessorId(const QVSystemId& systemId, int index) {
  const QVProcessorIdRecord candidate{QVInternHash(systemId.hash(), index), systemId, index};
  return QVProcessorId(QVInternTable<QVProcessorIdRecord>::shared().intern(candidate));
}

QVSystemId QVProcessorId::asSystemId() const { return record_ ? record_->system : QVSystemId(); }

int QVProcessorId::index() const { return record_ ? record_->index : -1; }

bool QVProcessorId::operator<(const QVProcessorId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->system != other.record_->system) {
    return record_->system < other.record_->system;
  }
  return record_->index < other.record_->index;
}

size_t QVProcessorId::hash() const { return record_ ? record_->hash : 0; }

void QVProcessorId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->system, "SystemId");
  archiver->encodeSigned(record_->index, "Index");
}

void QVProcessorId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("SystemId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey("SystemId", system);
  const int64_t index = unarchiver->decodeSigned("Index");
  *this = uniqueProcessorId(*system, static_cast<int>(index));
}

std::ostream& operator<<(std::ostream& os, const QVProcessorId& id) {
  if (!id.isValid()) {
    return os << "invalid processor id";
  }
  return os << "cpu " << id.index();
}

}  // namespace Quorvel
