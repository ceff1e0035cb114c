#pragma once

#include <sys/types.h>

#include <string>

#include "system/QVFileDescriptor.h"

namespace Quorvel {

// Writes a new version of a file so that readers see either the old content
// or the complete new one, and so that nothing that is not a file of ours is
// ever replaced.
//
// Contract:
// - An existing target that is not a regular file (a device, a FIFO, a
//   socket, a directory) is refused before anything is created. A symbolic
//   link at the target is replaced by the file, never followed.
// - The new file keeps only the permission bits (0777) of the file it
//   replaces, and only when that file is a regular file owned by the
//   effective user; otherwise it gets 0666 less the process's umask. Set-id
//   and sticky bits never carry over.
// - The content goes to an unnamed file (O_TMPFILE) in the target's
//   directory, given its name only by commit(); where the filesystem refuses
//   unnamed files, to a named temporary ".NAME.XXXXXX" beside the target,
//   written through the descriptor that created it. A writer killed before
//   commit() leaves nothing behind on the first path, and only that
//   temporary on the second; a writer that is destroyed without commit()
//   removes it.
// - Failures give false and a one-line reason in error(); nothing throws.
class QVFileReplacement {
 public:
  explicit QVFileReplacement(std::string path);
  ~QVFileReplacement();
  QVFileReplacement(const QVFileReplacement&) = delete;
  QVFileReplacement& operator=(const QVFileReplacement&) = delete;

  // Refuses an unsuitable target and opens the file to write. True when fd()
  // may be written.
  bool open();
  int fd() const { return fd_.get(); }
  // Gives the written file its mode, flushes it to disk and puts it in place
  // of the target. True when the target now holds the new content.
  bool commit();
  const std::string& error() const { return error_; }

  // Empty when path may be replaced (it is missing, a regular file or a
  // symbolic link); otherwise why not. Lets a caller refuse an output path
  // before doing long work whose result it could not store.
  static std::string whyNotReplaceable(const std::string& path);
  // 0666 less the umask: the mode open(path, O_CREAT, 0666) would give.
  static mode_t defaultMode();

 private:
  bool fail(const std::string& what, int error);
  bool linkIntoPlace();

  std::string path_;
  std::string directory_;
  std::string namedTemporary_;  // set while a named temporary exists
  QVFileDescriptor fd_;
  bool unnamed_ = false;
  std::string error_;
};

}  // namespace Quorvel
