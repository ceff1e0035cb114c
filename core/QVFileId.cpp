#include "QVFileId.h"

#include <memory>
#include <ostream>
#include <tuple>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVUnarchiver.h"

namespace Quorvel {

struct QVFileIdRecord {
  size_t hash;
  std::string path;
  // Invalid and 0 for a plain path.
  QVSystemId system;
  uint64_t time;

  bool operator==(const QVFileIdRecord& other) const {
    return path == other.path && system == other.system && time == other.time;
  }
};

namespace {
const std::string kEmpty;
}  // namespace

QVFileId QVFileId::uniqueFileId(const std::string& path) {
  // Hashed like the path alone so that the ids of plain files, by far the
  // most common, keep the hash they always had.
  const QVFileIdRecord candidate{QVInternHash(path), path, QVSystemId(), 0};
  return QVFileId(QVInternTable<QVFileIdRecord>::shared().intern(candidate));
}

QVFileId QVFileId::uniqueFileId(const QVSystemId& systemId, const std::string& name, uint64_t time) {
  if (!systemId.isValid() && time == 0) {
    return uniqueFileId(name);
  }
  const QVFileIdRecord candidate{QVInternHash(name, systemId.hash(), time), name, systemId, time};
  return QVFileId(QVInternTable<QVFileIdRecord>::shared().intern(candidate));
}

const std::string& QVFileId::path() const { return record_ ? record_->path : kEmpty; }

QVSystemId QVFileId::systemId() const { return record_ ? record_->system : QVSystemId(); }

uint64_t QVFileId::time() const { return record_ ? record_->time : 0; }

bool QVFileId::operator<(const QVFileId& other) const {
  if (record_ == other.record_) {
    return false;
  }
  if (record_ == nullptr || other.record_ == nullptr) {
    return record_ == nullptr;
  }
  if (record_->path != other.record_->path) {
    return record_->path < other.record_->path;
  }
  if (record_->system != other.record_->system) {
    return record_->system < other.record_->system;
  }
  return record_->time < other.record_->time;
}

size_t QVFileId::hash() const { return record_ ? record_->hash : 0; }

void QVFileId::encodeWithArchiver(QVArchiver* archiver) const {
  if (record_ == nullptr) {
    return;
  }
  archiver->encodeString(record_->path, "Path");
  if (record_->system.isValid() || record_->time != 0) {
    archiver->encodeObject(record_->system, "SystemId");
    archiver->encodeUnsigned(record_->time, "Time");
  }
}

void QVFileId::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  if (!unarchiver->hasValueForKey("Path")) {
    record_ = nullptr;
    return;
  }
  std::string path;
  unarchiver->decodeString("Path", path);
  if (!unarchiver->hasValueForKey("SystemId")) {
    *this = uniqueFileId(path);
    return;
  }
  std::shared_ptr<QVSystemId> system;
  unarchiver->decodeObjectForKey("SystemId", system);
  const uint64_t time = unarchiver->hasValueForKey("Time") ? unarchiver->decodeUnsigned("Time") : 0;
  *this = uniqueFileId(system ? *system : QVSystemId(), path, time);
}

std::ostream& operator<<(std::ostream& os, const QVFileId& id) {
  if (!id.isValid()) {
    return os << "invalid file id";
  }
  os << id.path();
  if (id.systemId().isValid() || id.time() != 0) {
    const std::ios_base::fmtflags flags = os.flags();
    os << " [" << id.systemId() << ", boot 0x" << std::hex << id.time() << "]";
    os.flags(flags);
  }
  return os;
}

}  // namespace Quorvel
