#include "support/ChildProbe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <unordered_set>

#include <gtest/gtest.h>

#include "Linux/process/QVProcessLinux.h"
#include "proc/QVTaskInfoLinux.h"

namespace Quorvel {
namespace test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
}

// The text after "key " on the first line that starts with it, or null.
const char* LineValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (line.compare(0, key.size() + 1, key + " ") == 0) {
      return line.c_str() + key.size() + 1;
    }
  }
  return nullptr;
}

}  // namespace

ChildProbe::ChildProbe(const std::string& program, const std::vector<std::string>& arguments)
    : program_(program), arguments_(arguments) {}

ChildProbe::~ChildProbe() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {input_, output_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool ChildProbe::start(int timeoutMs) {
  if (pid_ > 0) {
    return false;
  }
  // Everything exec needs is built before fork: the child of a threaded
  // test may only make async-signal-safe calls.
  std::vector<char*> argv{const_cast<char*>(program_.c_str())};
  for (std::string& argument : arguments_) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    return false;
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return false;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::execv(program_.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
  if (pid_ < 0) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string pending;
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    if (left <= 0) {
      return false;
    }
    pollfd readable{output_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, left);
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (ready <= 0) {
      continue;
    }
    char buffer[256];
    const ssize_t count = ::read(output_, buffer, sizeof(buffer));
    if (count <= 0) {
      return false;
    }
    pending.append(buffer, static_cast<size_t>(count));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (line == "ready") {
        return true;
      }
      lines_.push_back(std::move(line));
    }
  }
}

long ChildProbe::value(const std::string& key) const {
  const char* text = LineValue(lines_, key);
  return text ? std::strtol(text, nullptr, 10) : -1;
}

uint64_t ChildProbe::address(const std::string& key) const {
  const char* text = LineValue(lines_, key);
  return text ? std::strtoull(text, nullptr, 16) : 0;
}

bool ChildProbe::waitForState(char state, int timeoutMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (taskState(pid_, pid_) != state) {
    if (MillisecondsLeft(deadline) <= 0) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ChildProbe::closeInput() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

int ChildProbe::finish() {
  closeInput();
  int status = -1;
  if (pid_ > 0) {
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  return status;
}

bool ChildProbe::wait(int timeoutMs, int& status) {
  if (pid_ <= 0) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      pid_ = -1;
      return true;
    }
    if ((reaped < 0 && errno != EINTR) || MillisecondsLeft(deadline) <= 0) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

char ChildProbe::taskState(pid_t pid, pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  std::stringstream text;
  text << in.rdbuf();
  const std::string stat = text.str();
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

bool PtraceBlocked() {
  std::ifstream scope("/proc/sys/kernel/yama/ptrace_scope");
  int level = 0;
  return (scope >> level) && level >= 3;
}

void ExpectNotTraced(pid_t pid) {
  std::unordered_set<QVThreadId> ids;
  QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(pid), ids, false);
  for (const QVThreadId& id : ids) {
    const char state = ChildProbe::taskState(pid, static_cast<pid_t>(id.nativeIdentifier()));
    EXPECT_NE('t', state) << "thread " << id.nativeIdentifier() << " left traced";
    EXPECT_NE('T', state) << "thread " << id.nativeIdentifier() << " left stopped";
  }
}

std::shared_ptr<QVProcess> DiscoverProcess(pid_t pid) {
  return QVProcess::processWithId(QVProcessLinux::updateProcessList(pid, false), false, false);
}

}  // namespace test
}  // namespace Quorvel
