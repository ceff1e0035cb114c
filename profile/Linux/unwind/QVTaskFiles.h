#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "proc/QVProcTaskStatParser.h"

namespace Quorvel {

// The /proc files of one thread that every sample reads: stat (scheduler
// state, last processor), schedstat (CPU time) and syscall (where a
// sleeping thread left its user side). Each is opened on first use and kept,
// and re-read from the start with pread, so that a tick costs one read per
// file rather than an open, a read and a close. Not thread-safe: one
// sampler owns the object.
class QVTaskFiles {
 public:
  explicit QVTaskFiles(pid_t tid);
  ~QVTaskFiles();
  QVTaskFiles(const QVTaskFiles&) = delete;
  QVTaskFiles& operator=(const QVTaskFiles&) = delete;

  pid_t tid() const { return tid_; }
  // The parsed stat file; empty when the thread is gone.
  std::optional<QVProcTaskStat> stat();
  // The processor the thread last ran on (field 39 of the stat file read by
  // the last stat() call); -1 when unknown.
  int lastProcessor() const { return lastProcessor_; }
  // Nanoseconds the thread has run, from schedstat; empty when unknown.
  std::optional<uint64_t> runtimeNanos();
  // The text of the syscall file; empty when it cannot be read.
  std::string_view syscall();

 private:
  // The whole file named `name` in the thread's directory, opened into `fd`
  // when not yet open; empty when unreadable.
  std::string_view _read(int& fd, const char* name);

  pid_t tid_;
  int statFd_ = -1;
  int schedstatFd_ = -1;
  int syscallFd_ = -1;
  int lastProcessor_ = -1;
  // Long enough for any stat line (52 numbers and a 16-byte name).
  char buffer_[1024];
};

}  // namespace Quorvel
