#include "Linux/driver/QVDriverFilesystem.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "base/QVLog.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

const char* const QVDriverFilesystem::TEMP_FILE_PREFIX = "quorvel-profile";
bool QVDriverFilesystem::debug_ = std::getenv("QV_DEBUG_DRIVER_FILESYSTEM") != nullptr;

namespace {

// The lookup_dcookie system call of x86-64; kernels from 6.8 on answer ENOSYS.
constexpr long kLookupDcookie = 212;

long systemLookupDcookie(uint64_t cookie, char* buffer, size_t size) {
  return syscall(kLookupDcookie, cookie, buffer, size);
}

std::string errorText(int error) { return std::string(std::strerror(error)) + " (" + std::to_string(error) + ")"; }

}  // namespace

QVDriverFilesystem::QVDriverFilesystem(const std::string& root) : root_(root), dcookieSyscall_(systemLookupDcookie) {}

void QVDriverFilesystem::setDcookieSyscall(DcookieSyscall call) {
  dcookieSyscall_ = call != nullptr ? call : systemLookupDcookie;
}

bool QVDriverFilesystem::exists(const std::string& name) const {
  QVEffectiveUser root(0, 0);
  return FileExists(path(name));
}

bool QVDriverFilesystem::readString(const std::string& name, std::string& text) const {
  QVEffectiveUser root(0, 0);
  return FileReadString(path(name), text);
}

bool QVDriverFilesystem::writeString(const std::string& name, const std::string& text) const {
  QVEffectiveUser root(0, 0);
  return FileWriteString(path(name), text);
}

bool QVDriverFilesystem::readUnsigned(const std::string& name, uint64_t& value) const {
  std::string text;
  if (!readString(name, text)) return false;
  const size_t begin = text.find_first_not_of(" \t\n");
  const size_t end = text.find_last_not_of(" \t\n");
  if (begin == std::string::npos) return false;
  const std::string digits = text.substr(begin, end - begin + 1);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long parsed = std::strtoull(digits.c_str(), nullptr, 10);
  if (errno != 0) return false;
  value = parsed;
  return true;
}

bool QVDriverFilesystem::writeInt(const std::string& name, int value) const {
  return writeString(name, std::to_string(value));
}

bool QVDriverFilesystem::writeInt(const std::string& name, unsigned long value) const {
  return writeString(name, std::to_string(value));
}

std::string QVDriverFilesystem::_fdTarget(int fd) const {
  char link[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(self.c_str(), link, sizeof link - 1);
  if (n < 0) {
    QV_ERROR("[" << root_ << "] failed to read link " << self << " - " << errorText(errno));
    return std::string();
  }
  return std::string(link, size_t(n));
}

bool QVDriverFilesystem::openFileDescriptor(const std::string& name, int* fd) const {
  QVEffectiveUser root(0, 0);
  const std::string full = path(name);
  *fd = ::open(full.c_str(), O_RDWR | O_CLOEXEC);
  if (*fd < 0) {
    const int error = errno;
    QV_ERROR("failed to open " << full << " - " << errorText(error));
    *fd = -1;
    return false;
  }
  if (debug_ && LogIsEnabled(QVLogLevel::Debug))
    QV_DEBUG("opened file descriptor #" << *fd << " [" << _fdTarget(*fd) << "]");
  return true;
}

// One read or write of a driver file: from its start when asked (the
// driver answers each read from the beginning), retried when interrupted.
bool QVDriverFilesystem::_transfer(int fd, int* done, bool rewind, const char* verb,
                                   const std::function<ssize_t()>& call) const {
  *done = 0;
  if (fd < 0) return false;
  for (;;) {
    if (rewind && lseek(fd, 0, SEEK_SET) < 0 && errno != ESPIPE) {
      const int error = errno;
      QV_ERROR("failed to seek file descriptor #" << fd << " [" << _fdTarget(fd) << "] - " << errorText(error));
      return false;
    }
    const ssize_t n = call();
    if (n >= 0) {
      *done = int(n);
      return true;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    const int error = errno;
    QV_ERROR("failed to " << verb << " file descriptor #" << fd << " [" << _fdTarget(fd) << "] - " << errorText(error));
    return false;
  }
}

bool QVDriverFilesystem::readFileDescriptor(int fd, void* buffer, size_t size, int* done, bool rewind) const {
  return _transfer(fd, done, rewind, "read", [&] { return ::read(fd, buffer, size); });
}

bool QVDriverFilesystem::writeFileDescriptor(int fd, const void* data, size_t size, int* done, bool rewind) const {
  return _transfer(fd, done, rewind, "write", [&] { return ::write(fd, data, size); });
}

bool QVDriverFilesystem::closeFileDescriptor(int fd) const {
  if (::close(fd) != 0) {
    const int error = errno;
    QV_ERROR("[" << root_ << "] failed to close file descriptor #" << fd << " - " << errorText(error));
    return false;
  }
  return true;
}

int QVDriverFilesystem::ioControl(int fd, unsigned long request, unsigned long arg) const {
  return ::ioctl(fd, request, arg);
}

int QVDriverFilesystem::ioControl(const std::string& name, unsigned long request, unsigned long arg) const {
  int fd;
  if (!openFileDescriptor(name, &fd)) return -5;
  const int result = ::ioctl(fd, request, arg);
  closeFileDescriptor(fd);
  return result;
}

bool QVDriverFilesystem::lookupDcookie(uint64_t cookie, std::string& path) const {
  char buffer[4096];
  QVEffectiveUser root(0, 0);
  errno = 0;
  long result = dcookieSyscall_(cookie, buffer, sizeof buffer);
  if (result >= 0) {
    path.assign(buffer, size_t(result) < sizeof buffer ? size_t(result) : sizeof buffer);
    const size_t nul = path.find('\0');
    if (nul != std::string::npos) path.resize(nul);
    return true;
  }
  if (errno == ENOSYS && cookie != 0) {
    // The kernel dropped the system call; the driver keeps its own table.
    std::ostringstream entry;
    entry << "dcookies/" << std::hex << cookie;
    std::string text;
    if (FileReadString(this->path(entry.str()), text)) {
      while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
      if (!text.empty()) {
        path = text;
        return true;
      }
    }
  }
  if (cookie != 0) QV_WARNING("lookup dcookie 0x" << std::hex << cookie << std::dec << " failed (" << result << ")");
  return false;
}

bool QVDriverFilesystem::createTempFile(std::string& path) const {
  path = CreateTempFile(std::string(), TEMP_FILE_PREFIX);
  return !path.empty();
}

bool QVDriverFilesystem::removeTempFile(const std::string& path) const { return FileExists(path) && FileRemove(path); }

}  // namespace Quorvel
