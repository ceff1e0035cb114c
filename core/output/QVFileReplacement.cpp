#include "output/QVFileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "proc/QVProcTaskStatusParser.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

namespace {

// Read from the process's own status file, because umask() can only read the
// mask by setting it, which races with other threads creating files.
constexpr mode_t kAssumedUmask = 022;

const char* KindOfNonRegular(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "a directory";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    default:
      return nullptr;
  }
}

// O_TMPFILE is refused with one of these where the filesystem or the kernel
// cannot make unnamed files; anything else is a real failure to report.
bool UnnamedFilesUnsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

std::string RandomSuffix() {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
  std::string suffix(6, 'X');
  for (char& c : suffix) {
    c = kAlphabet[pick(device)];
  }
  return suffix;
}

}  // namespace

QVFileReplacement::QVFileReplacement(std::string path) : path_(std::move(path)) {}

QVFileReplacement::~QVFileReplacement() {
  if (!namedTemporary_.empty()) {
    ::unlink(namedTemporary_.c_str());
  }
}

std::string QVFileReplacement::whyNotReplaceable(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT ? std::string() : "cannot examine it: " + std::string(std::strerror(errno));
  }
  const char* kind = KindOfNonRegular(status.st_mode);
  return kind ? std::string("it is ") + kind + ", not a regular file" : std::string();
}

mode_t QVFileReplacement::defaultMode() {
  std::string text;
  mode_t mask = kAssumedUmask;
  if (FileReadString("/proc/self/status", text)) {
    const QVProcTaskStatus status = QVProcTaskStatusParser::parse(text);
    if (status.umask) {
      mask = static_cast<mode_t>(*status.umask);
    }
  }
  return 0666 & ~mask;
}

bool QVFileReplacement::fail(const std::string& what, int error) {
  error_ = error ? what + ": " + std::strerror(error) : what;
  return false;
}

bool QVFileReplacement::open() {
  if (path_.empty()) {
    return fail("empty path", 0);
  }
  const std::string why = whyNotReplaceable(path_);
  if (!why.empty()) {
    return fail("'" + path_ + "' is refused: " + why, 0);
  }
  directory_ = PathDirectory(path_);
  fd_ = QVFileDescriptor(::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (fd_.isOpen()) {
    unnamed_ = true;
    return true;
  }
  if (!UnnamedFilesUnsupported(errno)) {
    return fail("cannot create a file in '" + directory_ + "'", errno);
  }
  std::string name = directory_ + "/." + PathBaseName(path_) + ".XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  fd_ = QVFileDescriptor(::mkostemp(buffer.data(), O_CLOEXEC));
  if (!fd_.isOpen()) {
    return fail("cannot create a temporary file in '" + directory_ + "'", errno);
  }
  namedTemporary_ = buffer.data();
  return true;
}

// An unnamed file gets its name through its /proc/self/fd link, which needs
// no privilege (AT_EMPTY_PATH would need CAP_DAC_READ_SEARCH). link() never
// replaces, so an existing target is replaced by renaming a fresh link over
// it.
bool QVFileReplacement::linkIntoPlace() {
  const std::string source = "/proc/self/fd/" + std::to_string(fd_.get());
  if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  if (errno != EEXIST) {
    return fail("cannot link the new file to '" + path_ + "'", errno);
  }
  const std::string prefix = directory_ + "/." + PathBaseName(path_) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string link = prefix + RandomSuffix();
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, link.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) {
        continue;
      }
      return fail("cannot link the new file beside '" + path_ + "'", errno);
    }
    if (::rename(link.c_str(), path_.c_str()) != 0) {
      const int error = errno;
      ::unlink(link.c_str());
      return fail("cannot rename the new file over '" + path_ + "'", error);
    }
    return true;
  }
  return fail("cannot find a free temporary name beside '" + path_ + "'", 0);
}

bool QVFileReplacement::commit() {
  if (!fd_.isOpen()) {
    return fail("nothing was opened to write", 0);
  }
  struct stat existing;
  mode_t mode = defaultMode();
  if (::lstat(path_.c_str(), &existing) == 0) {
    // Checked again here: the target may have changed while we wrote.
    if (const char* kind = KindOfNonRegular(existing.st_mode)) {
      return fail("'" + path_ + "' is refused: it is " + kind + ", not a regular file", 0);
    }
    if (S_ISREG(existing.st_mode) && existing.st_uid == ::geteuid()) {
      mode = existing.st_mode & 0777;
    }
  }
  if (::fchmod(fd_.get(), mode) != 0) {
    return fail("cannot set the mode of the new file", errno);
  }
  if (::fsync(fd_.get()) != 0) {
    return fail("cannot flush the new file to disk", errno);
  }
  if (unnamed_) {
    if (!linkIntoPlace()) {
      return false;
    }
  } else {
    if (::rename(namedTemporary_.c_str(), path_.c_str()) != 0) {
      return fail("cannot rename '" + namedTemporary_ + "' into place", errno);
    }
    namedTemporary_.clear();
  }
  // The data is on disk already; a failing close cannot lose it any more.
  fd_.close();
  return true;
}

}  // namespace Quorvel
