#include "QVFileId.h"

#include <ostream>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVFileIdRecord {
  size_t hash;
  std::string path;

  bool operator==(const QVFileIdRecord& other) const { return path == other.path; }
};

namespace {
const std::string kEmpty;
}  // namespace

QVFileId QVFileId::uniqueFileId(const std::string& path) {
  const QVFileIdRecord candidate{QVInternHash(path), path};
  return QVFileId(QVInternTable<QVFileIdRecord>::shared().intern(candidate));
}

const std::string& QVFileId::path() const { return record_ ? record_->path : kEmpty; }

bool QVFileId::operator<(const QVFileId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  return record_->path < other.record_->path;
}

size_t QVFileId::hash() const { return record_ ? record_->hash : 0; }

void QVFileId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeString(record_->path, "Path");
}

void QVFileId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("Path")) {
    record_ = nullptr;
    return;
  }
  std::string path;
  unarchiver->decodeString("Path", path);
  *this = uniqueFileId(path);
}

std::ostream& operator<<(std::ostream& os, const QVFileId& id) {
  if (!id.isValid()) {
    return os << "invalid file id";
  }
  return os << id.path();
}

}  // namespace Quorvel
