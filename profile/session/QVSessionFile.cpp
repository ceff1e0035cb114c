#include "session/QVSessionFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <boost/iostreams/device/file_descriptor.hpp>
#include <boost/iostreams/stream.hpp>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "output/QVFileReplacement.h"
#include "session/QVSessionProfile.h"

namespace Quorvel {

const char* const QVSessionFile::RootKey = "Session";

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

[[noreturn]] void RaiseWriteError(const std::string& path, const std::string& cause, int line) {
  throw QVException("failed to write session file '" + path + "': " + cause, line, __FILE__);
}

}  // namespace

void QVSessionFile::write(const QVSessionProfile& profile, const std::string& path, bool compress) {
  if (path.empty()) {
    throw QVException("failed to write session file: empty path", __LINE__, __FILE__);
  }
  QVFileReplacement file(path);
  if (!file.open()) {
    RaiseWriteError(path, file.error(), __LINE__);
  }
  {
    boost::iostreams::stream<boost::iostreams::file_descriptor_sink> stream(
        boost::iostreams::file_descriptor_sink(file.fd(), boost::iostreams::never_close_handle));
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
  if (!file.commit()) {
    RaiseWriteError(path, file.error(), __LINE__);
  }
  QV_DEBUG("wrote session file " << path);
}

std::shared_ptr<QVSessionProfile> QVSessionFile::read(const std::string& path) {
  // Opened without blocking and checked before reading, so that a FIFO with
  // no writer or a device is refused instead of hanging or read forever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw QVException("cannot open session file '" + path + "': " + ErrorText(errno), __LINE__, __FILE__);
  }
  boost::iostreams::stream<boost::iostreams::file_descriptor_source> stream(
      boost::iostreams::file_descriptor_source(fd, boost::iostreams::close_handle));
  struct stat status;
  if (::fstat(fd, &status) != 0) {
    throw QVException("cannot open session file '" + path + "': " + ErrorText(errno), __LINE__, __FILE__);
  }
  if (!S_ISREG(status.st_mode)) {
    const std::string why = QVFileReplacement::whyNotReplaceable(path);
    throw QVException("cannot open session file '" + path + "': " + (why.empty() ? "not a regular file" : why),
                      __LINE__, __FILE__);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  std::shared_ptr<QVSessionProfile> profile;
  unarchiver->decodeObjectForKey(RootKey, profile);
  if (stream.bad()) {
    throw QVException("failed to read session file '" + path + "'", __LINE__, __FILE__);
  }
  return profile;
}

}  // namespace Quorvel
