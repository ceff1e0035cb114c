#include "QVModuleId.h"

#include <memory>
#include <ostream>
#include <string>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVModuleIdRecord {
  size_t hash;
  QVFileId file;
  QVArchitecture architecture;

  bool operator==(const QVModuleIdRecord& other) const {
    return file == other.file && architecture == other.architecture;
  }
};

QVModuleId QVModuleId::uniqueModuleId(const QVFileId& fileId, QVArchitecture architecture) {
  const QVModuleIdRecord candidate{QVInternHash(fileId.hash(), static_cast<int>(architecture)), fileId,
                                   architecture};
  return QVModuleId(QVInternTable<QVModuleIdRecord>::shared().intern(candidate));
}

QVFileId QVModuleId::fileId() const { return record_ ? record_->file : QVFileId(); }

QVArchitecture QVModuleId::architecture() const {
  return record_ ? record_->architecture : QVArchitectureUnknown;
}

bool QVModuleId::operator<(const QVModuleId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->file != other.record_->file) {
    return record_->file < other.record_->file;
  }
  return record_->architecture < other.record_->architecture;
}

size_t QVModuleId::hash() const { return record_ ? record_->hash : 0; }

void QVModuleId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeObject(record_->file, "FileId");
  archiver->encodeString(ArchitectureToString(record_->architecture), "Arch");
}

void QVModuleId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("FileId")) {
    record_ = nullptr;
    return;
  }
  std::shared_ptr<QVFileId> file;
  unarchiver->decodeObjectForKey("FileId", file);
  std::string architecture;
  unarchiver->decodeString("Arch", architecture);
  *this = uniqueModuleId(*file, ArchitectureFromString(architecture));
}

std::ostream& operator<<(std::ostream& os, const QVModuleId& id) {
  if (!id.isValid()) {
    return os << "invalid module id";
  }
  return os << id.fileId().path() << " (" << ArchitectureToString(id.architecture()) << ")";
}

}  // namespace Quorvel
