#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "system/QVFileDescriptor.h"

namespace Quorvel {

// A temporary file that never has a name a crash could leave behind.
//
// Contract:
// - create() makes an unnamed file (O_TMPFILE, mode 0600) in the directory;
//   where the filesystem or kernel refuses unnamed files it makes a named
//   file with mkostemp and unlinks it at once. Either way the file has no
//   name once create() returns, so a process killed at any later moment
//   leaves nothing in the directory: the kernel frees the blocks with the
//   last descriptor.
// - path() is "/proc/self/fd/N": within this process it opens (and maps)
//   this same file for as long as the object lives. Code that reads a
//   file by name takes it unchanged.
// - keep() is for content someone should inspect later: it copies what was
//   written into a new named file beside where the unnamed one was made
//   (CreateTempFile's name, prefix + six characters) and returns that name.
// - Failures give null, false or an empty string with a one-line reason in
//   the log; nothing throws. The descriptor is closed on destruction.
class QVTempFile {
 public:
  // directory empty: GetTempDirectory(). allowUnnamed false goes straight
  // to the unlinked named file (lets tests take the fallback on purpose).
  static std::unique_ptr<QVTempFile> create(const std::string& directory, const std::string& prefix,
                                            bool allowUnnamed = true);
  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  // Whether O_TMPFILE made it (false: the unlinked fallback).
  bool unnamed() const { return unnamed_; }

  // Writes all size bytes at the end of the file, retrying short writes.
  bool append(const void* data, size_t size);
  // A named copy of the content; empty when it could not be made.
  std::string keep() const;

 private:
  QVTempFile(QVFileDescriptor fd, std::string directory, std::string prefix, bool unnamed);

  QVFileDescriptor fd_;
  std::string directory_;
  std::string prefix_;
  bool unnamed_;
  std::string path_;
};

}  // namespace Quorvel
