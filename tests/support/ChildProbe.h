#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Quorvel {
namespace test {

// A child program started with fork and exec, its standard input and output
// on pipes. The probe programs print "<key> <value>" lines and then "ready";
// start() reads up to that line. Closing the input (finish()) lets a probe
// end; the destructor kills and reaps whatever is still running.
class ChildProbe {
 public:
  explicit ChildProbe(const std::string& program);
  ~ChildProbe();
  ChildProbe(const ChildProbe&) = delete;
  ChildProbe& operator=(const ChildProbe&) = delete;

  // False when the program could not be started or did not get ready.
  bool start();
  pid_t pid() const { return pid_; }
  // The value printed after "<key> ", parsed as a hexadecimal pointer; 0
  // when the key was not printed.
  uint64_t address(const std::string& key) const;
  // Closes the input and reaps the child; its exit status.
  int finish();
  // The state letter of /proc/<pid>/stat ('S', 'T', 't', ...) of the
  // process or one of its threads; 0 when unreadable.
  static char taskState(pid_t pid, pid_t tid);

 private:
  std::string program_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::vector<std::string> lines_;
};

}  // namespace test
}  // namespace Quorvel
