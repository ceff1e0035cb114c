#include "symbols/QVSourceFile.h"

#include <mutex>
#include <ostream>
#include <unordered_map>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<QVFileId, std::shared_ptr<QVSourceFile>> files;
};

// Never destroyed: objects registered may be looked up from static
// destructors of other libraries.
Registry& SharedRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

}  // namespace

QVSourceFile::QVSourceFile(const QVFileId& fileId, const std::string& path) : fileId_(fileId), path_(path) {}

QVSourceFile::QVSourceFile(const QVFileId& fileId) : fileId_(fileId), path_(fileId.path()) {}

std::shared_ptr<QVSourceFile> QVSourceFile::registerSourceFile(const std::shared_ptr<QVSourceFile>& file) {
  if (!file || !file->fileId().isValid()) {
    return std::shared_ptr<QVSourceFile>();
  }
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.files.emplace(file->fileId(), file).first->second;
}

std::shared_ptr<QVSourceFile> QVSourceFile::sourceFileWithId(const QVFileId& fileId) {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.files.find(fileId);
  return found != registry.files.end() ? found->second : std::shared_ptr<QVSourceFile>();
}

void QVSourceFile::flushRegisteredSourceFiles() {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.files.clear();
}

void QVSourceFile::getDescription(std::ostream& os) const { os << path_; }

void QVSourceFile::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(fileId_, "FileId");
  archiver->encodeString(path_, "Path");
}

void QVSourceFile::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVFileId> fileId;
  unarchiver->decodeObjectForKey("FileId", fileId);
  fileId_ = *fileId;
  unarchiver->decodeString("Path", path_);
}

std::ostream& operator<<(std::ostream& os, const QVSourceFile& file) {
  file.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSourceFile>& file) {
  if (file) {
    file->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
