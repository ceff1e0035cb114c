#include "CommandLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/QVException.h"
#include "StopSignal.h"

namespace Quorvel {
namespace qvprof {

namespace {

// Reads exactly one int or reaches end of file; false at end of file.
bool readInt(int fd, int& value) {
  char* bytes = reinterpret_cast<char*>(&value);
  size_t got = 0;
  while (got < sizeof value) {
    const ssize_t n = ::read(fd, bytes + got, sizeof value - got);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string CommandLauncher::commandLine(const std::vector<std::string>& command) {
  std::string line;
  for (const std::string& word : command) line += (line.empty() ? "" : " ") + word;
  return line;
}

CommandLauncher::CommandLauncher(const std::vector<std::string>& command, const StopSignal* signals) {
  if (command.empty()) throw QVException("no program to run", __LINE__, __FILE__);

  // The pipe closes on a successful exec, so the parent learns the outcome
  // without guessing: end of file means the program runs, an int is the
  // errno of a failed exec.
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw QVException(std::string("cannot create a pipe: ") + std::strerror(errno), __LINE__, __FILE__);
  }

  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    throw QVException(std::string("cannot start '") + command.front() + "': " + std::strerror(error), __LINE__,
                      __FILE__);
  }
  if (pid == 0) {
    ::close(pipeFds[0]);
    if (signals) signals->restoreForChild();
    ::execvp(argv[0], argv.data());
    const int error = errno;
    ssize_t ignored = ::write(pipeFds[1], &error, sizeof error);
    (void)ignored;
    ::_exit(127);
  }

  ::close(pipeFds[1]);
  int execError = 0;
  const bool failed = readInt(pipeFds[0], execError);
  ::close(pipeFds[0]);
  pid_ = pid;
  if (failed) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    throw QVException("cannot run '" + command.front() + "': " + std::strerror(execError), __LINE__, __FILE__);
  }
  reaper_ = std::thread([this] { _reap(); });
}

CommandLauncher::~CommandLauncher() {
  terminate(2.0);
  if (reaper_.joinable()) reaper_.join();
}

void CommandLauncher::_reap() {
  for (;;) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const int result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    if (result < 0) {
      if (errno == EINTR) continue;
      // ECHILD: nothing left to wait for; treat as gone.
      exited_.store(true);
      return;
    }
    if (info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      status_ = status;
      exited_.store(true);
      return;
    }
    // A ptrace stop of the child's main thread, reported to every thread of
    // the tracer's process until the sampler collects it. Let the sampler
    // have it rather than spin on it.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void CommandLauncher::terminate(double graceSeconds) {
  if (pid_ <= 0 || exited_.load()) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(graceSeconds);
  while (!exited_.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!exited_.load()) ::kill(pid_, SIGKILL);
  if (reaper_.joinable()) reaper_.join();
}

std::string CommandLauncher::statusText() const {
  if (!exited_.load()) return "running";
  if (WIFEXITED(status_)) return "exited with status " + std::to_string(WEXITSTATUS(status_));
  if (WIFSIGNALED(status_)) {
    const int signalNumber = WTERMSIG(status_);
    return "killed by signal " + std::to_string(signalNumber) + " (" + strsignal(signalNumber) + ")";
  }
  return "ended";
}

}  // namespace qvprof
}  // namespace Quorvel
