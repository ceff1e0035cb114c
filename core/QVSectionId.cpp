#include "QVSectionId.h"

#include <memory>
#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVSectionIdRecord {
  size_t hash;
  QVModuleId module;
  int index;

  bool operator==(const QVSectionIdRecord& other) const { return module == other.module && index == other.index; }
};

QVSectionId QVSectionId::uniqueSectionId(const QVModuleId& moduleId, int index) {
  const QVSectionIdRecord candidate{QVInternHash(moduleId.hash(), index), moduleId, index};
  return QVSectionId(QVInternTable<QVSectionIdRecord>::shared().intern(candidate));
}

QVModuleId QVSectionId::asModuleId() const { return record_ ? record_->module : QVModuleId(); }

int QVSectionId::index() const { return record_ ? record_->index : -1; }

bool QVSectionId::operator<(const QVSectionId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->module != other.record_->module) {
    return record_->module < other.record_->module;
  }
  return record_->index < other.record_->index;
}

size_t QVSectionId::hash() const { return record_ ? record_->hash : 0; }

void QVSectionId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->module, "ModuleId");
  archiver->encodeSigned(record_->index, "Index");
}

void QVSectionId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("ModuleId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVModuleId> module;
  unarchiver->decodeObjectForKey("ModuleId", module);
  const int64_t index = unarchiver->decodeSigned("Index");
  *this = uniqueSectionId(*module, static_cast<int>(index));
}

std::ostream& operator<<(std::ostream& os, const QVSectionId& id) {
  if (!id.isValid()) {
    return os << "invalid section id";
  }
  return os << id.asModuleId() << " section " << id.index();
}

}  // namespace Quorvel
