#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace Quorvel {

/// Access to a kernel driver's control filesystem: one small text file per
/// setting below a root directory ("/dev/qvprofile"), plus the "buffer"
/// device. Names are relative to the root. Every call runs as user 0 and
/// reports failure through its result (and the log), never by throwing.
class QVDriverFilesystem {
 public:
  static const char* const TEMP_FILE_PREFIX;  ///< "quorvel-profile"
  static bool debug_;                         ///< QV_DEBUG_DRIVER_FILESYSTEM

  explicit QVDriverFilesystem(const std::string& root);

  const std::string& root() const { return root_; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }

  bool exists(const std::string& name) const;
  bool readString(const std::string& name, std::string& text) const;
  bool writeString(const std::string& name, const std::string& text) const;
  /// Reads the entry as one decimal number (surrounding blanks allowed).
  bool readUnsigned(const std::string& name, uint64_t& value) const;
  bool writeInt(const std::string& name, int value) const;
  bool writeInt(const std::string& name, unsigned long value) const;

  bool openFileDescriptor(const std::string& name, int* fd) const;
  bool readFileDescriptor(int fd, void* buffer, size_t size, int* done, bool rewind) const;
  bool writeFileDescriptor(int fd, const void* data, size_t size, int* done, bool rewind) const;
  bool closeFileDescriptor(int fd) const;
  int ioControl(int fd, unsigned long request, unsigned long arg) const;
  int ioControl(const std::string& name, unsigned long request, unsigned long arg) const;
  /// Resolves a file cookie to its path. Kernels without the lookup_dcookie
  /// system call (it answers ENOSYS) leave cookies to the driver: the entry
  /// "dcookies/<cookie in lower-case hexadecimal>" holds the path. Any other
  /// failure of the system call is final.
  bool lookupDcookie(uint64_t cookie, std::string& path) const;

  /// The system call behind lookupDcookie: answers like syscall(2), a
  /// negative result with errno set on failure.
  using DcookieSyscall = long (*)(uint64_t cookie, char* buffer, size_t size);
  /// Replaces the system call for this filesystem (tests simulate kernels
  /// with and without it); null restores the real one.
  void setDcookieSyscall(DcookieSyscall call);

  bool createTempFile(std::string& path) const;
  bool removeTempFile(const std::string& path) const;

 private:
  std::string _fdTarget(int fd) const;
  bool _transfer(int fd, int* done, bool rewind, const char* verb, const std::function<ssize_t()>& call) const;
  std::string root_;
  DcookieSyscall dcookieSyscall_;
};

}  // namespace Quorvel
