#include "system/QVTempFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "base/QVLog.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

namespace {

// The errors with which a filesystem or kernel refuses to make unnamed
// files; anything else is a real failure.
bool UnnamedFilesUnsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= size_t(written);
  }
  return true;
}

}  // namespace

std::unique_ptr<QVTempFile> QVTempFile::create(const std::string& directory, const std::string& prefix,
                                               bool allowUnnamed) {
  const std::string folder = directory.empty() ? GetTempDirectory() : directory;
  if (allowUnnamed) {
    QVFileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.isOpen()) return std::unique_ptr<QVTempFile>(new QVTempFile(std::move(fd), folder, prefix, true));
    if (!UnnamedFilesUnsupported(errno)) {
      QV_WARNING("unable to create a temporary file in " << folder << " - " << ::strerror(errno));
      return nullptr;
    }
  }
  std::string pattern = folder + "/" + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  QVFileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.isOpen()) {
    QV_WARNING("unable to create a temporary file " << pattern << " - " << ::strerror(errno));
    return nullptr;
  }
  // The name lives only for these two calls; from here on a kill leaves
  // nothing behind.
  if (::unlink(name.data()) != 0) {
    QV_WARNING("unable to unlink temporary file " << name.data() << " - " << ::strerror(errno));
    return nullptr;
  }
  return std::unique_ptr<QVTempFile>(new QVTempFile(std::move(fd), folder, prefix, false));
}

QVTempFile::QVTempFile(QVFileDescriptor fd, std::string directory, std::string prefix, bool unnamed)
    : fd_(std::move(fd)),
      directory_(std::move(directory)),
      prefix_(std::move(prefix)),
      unnamed_(unnamed),
      path_("/proc/self/fd/" + std::to_string(fd_.get())) {}

bool QVTempFile::append(const void* data, size_t size) {
  if (::lseek(fd_.get(), 0, SEEK_END) < 0) return false;
  return WriteAll(fd_.get(), static_cast<const char*>(data), size);
}

std::string QVTempFile::keep() const {
  const std::string name = CreateTempFile(directory_, prefix_);
  if (name.empty()) return name;
  QVFileDescriptor out(::open(name.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  bool copied = out.isOpen();
  std::vector<char> block(1 << 16);
  for (off_t offset = 0; copied;) {
    const ssize_t got = ::pread(fd_.get(), block.data(), block.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      copied = got == 0;
      break;
    }
    copied = WriteAll(out.get(), block.data(), size_t(got));
    offset += got;
  }
  if (!out.close()) copied = false;
  if (!copied) {
    QV_WARNING("unable to keep temporary file as " << name << " - " << ::strerror(errno));
    ::unlink(name.c_str());
    return std::string();
  }
  return name;
}

}  // namespace Quorvel
