#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace Quorvel {
namespace qvprof {

class StopSignal;

// Runs the program qvprof record profiles, as a child, and notices its end
// at once.
//
// The child is reaped by a thread of its own that waits with WNOWAIT, for
// a reason: the sampler traces the child's threads from another thread of
// this process, and a plain wait here could take the ptrace stops meant for
// it. WNOWAIT only looks; the child is reaped once its exit is seen, which
// also keeps it from lingering as a zombie that still looks alive to the
// sampler.
//
// The destructor ends a child that is still running (SIGTERM, then SIGKILL
// after a grace period) and reaps it, so no path leaves one behind.
class CommandLauncher {
 public:
  // Starts the program (looked up in PATH like a shell does) and returns
  // once it runs the new image. Throws QVException with the reason when it
  // cannot be started. signals (may be null) restores the signal state the
  // program should start with.
  CommandLauncher(const std::vector<std::string>& command, const StopSignal* signals);
  ~CommandLauncher();
  CommandLauncher(const CommandLauncher&) = delete;
  CommandLauncher& operator=(const CommandLauncher&) = delete;

  pid_t pid() const { return pid_; }
  bool hasExited() const { return exited_.load(); }
  // The wait status once exited (see waitpid), else -1.
  int status() const { return exited_.load() ? status_ : -1; }
  // "exited with status 3", "killed by signal 9 (Killed)", "running".
  std::string statusText() const;

  // Asks a running child to end and waits up to graceSeconds before
  // killing it; returns once it is reaped.
  void terminate(double graceSeconds);

  // The words of a command joined by blanks, for messages.
  static std::string commandLine(const std::vector<std::string>& command);

 private:
  void _reap();

  pid_t pid_ = -1;
  std::atomic<bool> exited_{false};
  int status_ = 0;
  std::thread reaper_;
};

}  // namespace qvprof
}  // namespace Quorvel
