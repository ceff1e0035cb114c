#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

// What a program run as a user runs it gave back.
struct ProgramResult {
  int status = -1;  // exit status; 128 + signal when killed; -1 when it did not end in time
  std::string out;
  std::string err;
};

// A program started in the background with its output streams in files of
// a scratch directory; killed and reaped if still running when it goes.
class BackgroundProgram {
 public:
  // argv[0] is the program's path. runAs: a user id to switch to before the
  // program starts (the test must be root for that); -1 keeps ours.
  BackgroundProgram(const ScratchDirectory& scratch, const std::vector<std::string>& argv, uid_t runAs = uid_t(-1));
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to timeoutSeconds, an upper bound only.
  ProgramResult wait(double timeoutSeconds);

 private:
  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Runs the program to its end in a scratch directory of its own.
ProgramResult RunProgram(const std::vector<std::string>& argv, double timeoutSeconds = 60.0);

}  // namespace test
}  // namespace Quorvel
