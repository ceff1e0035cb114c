#include "QVSessionFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <boost/iostreams/device/file_descriptor.hpp>
#include <boost/iostreams/stream.hpp>

#include "QVArchiver.h"
#include "QVException.h"
#include "QVFileUtils.h"
#include "QVLog.h"
#include "QVSessionProfile.h"
#include "QVUnarchiver.h"

namespace Quorvel {

const char* const QVSessionFile::RootKey = "Session";

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

std::string DirectoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mode a file created with open(..., 0666) would get: the umask can
// only be read by setting it, except through /proc.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "Umask:") == 0) {
      const unsigned long mask = std::strtoul(line.c_str() + 6, nullptr, 8);
      return static_cast<mode_t>(0666 & ~mask);
    }
  }
  return 0644;
}

// The temporary file a save writes; removed unless it was renamed into
// place, whichever way the save ends.
class PendingFile {
 public:
  explicit PendingFile(std::string path) : path_(std::move(path)) {}
  ~PendingFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!committed_ && !path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  bool open() {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return fd_ >= 0;
  }
  // Closes the descriptor, reporting a failed close (where NFS and full
  // disks report deferred write errors).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void commit() { committed_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  bool committed_ = false;
};

[[noreturn]] void RaiseWriteError(const std::string& path, const std::string& cause, int line) {
  throw QVException("failed to write session file '" + path + "': " + cause, line, __FILE__);
}

}  // namespace

void QVSessionFile::write(const QVSessionProfile& profile, const std::string& path, bool compress) {
  if (path.empty()) {
    throw QVException("failed to write session file: empty path", __LINE__, __FILE__);
  }
  const std::string directory = DirectoryOf(path);
  errno = 0;
  PendingFile pending(CreateTempFile(directory, "." + BaseNameOf(path) + "."));
  if (pending.path().empty()) {
    const int error = errno;
    RaiseWriteError(path,
                    "cannot create a temporary file in '" + directory + "'" + (error ? ": " + ErrorText(error) : ""),
                    __LINE__);
  }
  if (!pending.open()) {
    RaiseWriteError(path, "cannot open '" + pending.path() + "': " + ErrorText(errno), __LINE__);
  }

  struct stat existing;
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : NewFileMode();
  if (::fchmod(pending.fd(), mode) != 0) {
    RaiseWriteError(path, "cannot set the mode of '" + pending.path() + "': " + ErrorText(errno), __LINE__);
  }

  {
    boost::iostreams::stream<boost::iostreams::file_descriptor_sink> stream(
        boost::iostreams::file_descriptor_sink(pending.fd(), boost::iostreams::never_close_handle));
    // The stream reports failures by state; the archiver turns a failed
    // stream into a QVException, which names the cause below.
    QVArchiver::Options options;
    options.compress = compress;
    try {
      std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream, options);
      archiver->encodeObject(profile, RootKey);
      archiver->finish();
      stream.flush();
    } catch (const QVException& e) {
      RaiseWriteError(path, e.message(), __LINE__);
    } catch (const std::ios_base::failure& e) {
      RaiseWriteError(path, e.what(), __LINE__);
    }
    if (!stream.good()) {
      RaiseWriteError(path, "the stream failed", __LINE__);
    }
  }

  if (::fsync(pending.fd()) != 0) {
    RaiseWriteError(path, "cannot flush '" + pending.path() + "' to disk: " + ErrorText(errno), __LINE__);
  }
  if (!pending.close()) {
    RaiseWriteError(path, "cannot close '" + pending.path() + "': " + ErrorText(errno), __LINE__);
  }
  if (::rename(pending.path().c_str(), path.c_str()) != 0) {
    RaiseWriteError(path, "cannot rename '" + pending.path() + "' into place: " + ErrorText(errno), __LINE__);
  }
  pending.commit();
  QV_DEBUG("wrote session file " << path);
}

std::shared_ptr<QVSessionProfile> QVSessionFile::read(const std::string& path) {
  std::ifstream stream(path, std::ios::in | std::ios::binary);
  if (!stream.is_open()) {
    const int error = errno;
    throw QVException("cannot open session file '" + path + "'" + (error ? ": " + ErrorText(error) : ""),
                      __LINE__, __FILE__);
  }
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  std::shared_ptr<QVSessionProfile> profile;
  unarchiver->decodeObjectForKey(RootKey, profile);
  if (stream.bad()) {
    throw QVException("failed to read session file '" + path + "'", __LINE__, __FILE__);
  }
  return profile;
}

}  // namespace Quorvel
