#include "support/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "system/QVFileUtils.h"

namespace Quorvel {
namespace test {

BackgroundProgram::BackgroundProgram(const ScratchDirectory& scratch, const std::vector<std::string>& argv,
                                     uid_t runAs)
    : outPath_(scratch.file("out.txt")), errPath_(scratch.file("err.txt")) {
  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (runAs != uid_t(-1) && (setgid(runAs) != 0 || setuid(runAs) != 0)) _exit(125);
    dup2(open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    execv(words[0], words.data());
    _exit(126);
  }
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

ProgramResult BackgroundProgram::wait(double timeoutSeconds) {
  using Clock = std::chrono::steady_clock;
  ProgramResult result;
  const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
  int status = 0;
  while (pid_ > 0 && !reaped_ && Clock::now() < deadline) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FileReadString(outPath_, result.out);
  FileReadString(errPath_, result.err);
  return result;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, double timeoutSeconds) {
  ScratchDirectory scratch("qvprogram");
  BackgroundProgram program(scratch, argv);
  return program.wait(timeoutSeconds);
}

}  // namespace test
}  // namespace Quorvel
