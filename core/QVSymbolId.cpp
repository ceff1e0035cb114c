#include "QVSymbolId.h"

#include <memory>
#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVSymbolIdRecord {
  size_t hash;
  QVSectionId section;
  int index;

  bool operator==(const QVSymbolIdRecord& other) const { return section == other.section && index == other.index; }
};

QVSymbolId QVSymbolId::uniqueSymbolId(const QVSectionId& sectionId, int index) {
  const QVSymbolIdRecord candidate{QVInternHash(sectionId.hash(), index), sectionId, index};
  return QVSymbolId(QVInternTable<QVSymbolIdRecord>::shared().intern(candidate));
}

QVSectionId QVSymbolId::asSectionId() const { return record_ ? record_->section : QVSectionId(); }

QVModuleId QVSymbolId::asModuleId() const { return record_ ? record_->section.asModuleId() : QVModuleId(); }

int QVSymbolId::index() const { return record_ ? record_->index : -1; }

bool QVSymbolId::operator<(const QVSymbolId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->section != other.record_->section) {
    return record_->section < other.record_->section;
  }
  return record_->index < other.record_->index;
}

size_t QVSymbolId::hash() const { return record_ ? record_->hash : 0; }

void QVSymbolId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->section, "SectionId");
  archiver->encodeSigned(record_->index, "Index");
}

void QVSymbolId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("SectionId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVSectionId> section;
  unarchiver->decodeObjectForKey("SectionId", section);
  const int64_t index = unarchiver->decodeSigned("Index");
  *this = uniqueSymbolId(*section, static_cast<int>(index));
}

std::ostream& operator<<(std::ostream& os, const QVSymbolId& id) {
  if (!id.isValid()) {
    return os << "invalid symbol id";
  }
  return os << id.asSectionId() << " symbol " << id.index();
}

}  // namespace Quorvel
