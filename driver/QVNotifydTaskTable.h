#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Quorvel {

/// What qvnotifyd knows of the live tasks: each thread's start time and each
/// process's executable mappings, kept up to date from fork, exec, mmap and
/// exit events so that a task's exit record can name what it had mapped even
/// when nobody saw it in /proc. Also the daemon's file cookies: one number
/// per path, stable for the daemon's lifetime.
class QVNotifydTaskTable {
 public:
  struct Mapping {
    uint64_t start = 0;
    uint64_t end = 0;
    uint64_t offset = 0;
    uint64_t cookie = 0;
  };

  /// A task known before tracking began (from /proc).
  void seed(uint32_t pid, uint32_t tid, uint64_t startNanos, const std::vector<Mapping>& mappings);
  /// A new task: a new process inherits its parent's mappings, and every
  /// new task the command name of the thread that made it (ptid; 0 for the
  /// parent's leader).
  void fork(uint32_t pid, uint32_t ppid, uint32_t tid, uint64_t timeNanos, uint32_t ptid = 0);
  /// The thread's command name (its comm) changed, or is first known.
  void name(uint32_t tid, const std::string& command);
  /// The process replaced its image: the old mappings are gone.
  void exec(uint32_t pid);
  /// An executable mapping; it replaces whatever overlapped it.
  void map(uint32_t pid, uint64_t start, uint64_t length, uint64_t offset, const std::string& path);
  /// The task's exit record in 64-bit stream words (empty for a task whose
  /// process is unknown); the task is forgotten.
  std::vector<unsigned char> exit(uint32_t pid, uint32_t tid, uint64_t timeNanos);

  /// The file mapped at a process's address: its cookie and the offset in
  /// it, and the cookie of the process's program (its first mapping);
  /// false where nothing executable of a file is mapped.
  bool locate(uint32_t pid, uint64_t address, uint64_t& cookie, uint64_t& offset, uint64_t& programCookie) const;

  uint64_t cookie(const std::string& path);
  /// The path of a cookie; false for a cookie never handed out.
  bool cookiePath(uint64_t cookie, std::string& path) const;
  std::vector<uint64_t> cookies() const;

 private:
  mutable std::mutex mutex_;
  std::map<uint32_t, uint64_t> starts_;                // tid -> start, ns since boot
  std::map<uint32_t, std::string> commands_;           // tid -> command name
  std::map<uint32_t, std::vector<Mapping>> mappings_;  // pid -> executable mappings
  std::map<std::string, uint64_t> cookieByPath_;
  std::map<uint64_t, std::string> pathByCookie_;
};

}  // namespace Quorvel
