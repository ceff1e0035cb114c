#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVProcess;

namespace test {

// A probe program started as a child with fork and exec, its standard input
// and output on pipes. The probes print "<key> <value>" lines and then
// "ready"; start() reads up to that line. Closing the input (finish()) lets
// a probe that reads it end; whatever still runs when the object goes away
// is killed and reaped.
class ChildProbe {
 public:
  explicit ChildProbe(const std::string& program, const std::vector<std::string>& arguments = {});
  ~ChildProbe();
  ChildProbe(const ChildProbe&) = delete;
  ChildProbe& operator=(const ChildProbe&) = delete;

  // Starts the probe and waits up to timeoutMs for "ready". False when it
  // could not be started, ended, or was not ready in time.
  bool start(int timeoutMs = 10000);
  pid_t pid() const { return pid_; }
  // The number printed after "<key> ", decimal; -1 when not printed.
  long value(const std::string& key) const;
  // The pointer printed after "<key> ", hexadecimal; 0 when not printed.
  uint64_t address(const std::string& key) const;
  // Waits up to timeoutMs until the main thread is in the given state
  // ('S' once a probe sleeps in its read).
  bool waitForState(char state, int timeoutMs = 5000) const;
  // Closes the input, which lets a probe that reads it end.
  void closeInput();
  // Closes the input and reaps the child; its exit status.
  int finish();
  // Waits up to timeoutMs for the probe to end and reaps it. True with its
  // wait status when it ended in time; false (the probe left running) when
  // it did not.
  bool wait(int timeoutMs, int& status);
  // The state letter of /proc/<pid>/task/<tid>/stat ('S', 'T', 't', ...);
  // 0 when unreadable.
  static char taskState(pid_t pid, pid_t tid);

 private:
  std::string program_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::vector<std::string> lines_;
};

// Whether this machine forbids ptrace attach outright (Yama scope 3).
bool PtraceBlocked();

// Fails the test for every thread of the process left traced or stopped.
void ExpectNotTraced(pid_t pid);

// The process object of a live process, discovered through /proc.
std::shared_ptr<QVProcess> DiscoverProcess(pid_t pid);

}  // namespace test
}  // namespace Quorvel
