#include "support/ChildProbe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

ChildProbe::ChildProbe(const std::string& program) : program_(program) {}

ChildProbe::~ChildProbe() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (input_ >= 0) {
    ::close(input_);
  }
  if (output_ >= 0) {
    ::close(output_);
  }
}

bool ChildProbe::start() {
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
    ::execl(program_.c_str(), program_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
  if (pid_ < 0) {
    return false;
  }
  std::string pending;
  char buffer[256];
  for (;;) {
    const ssize_t count = ::read(output_, buffer, sizeof(buffer));
    if (count <= 0) {
      return false;
    }
    if (AppendProbeOutput(pending, buffer, static_cast<size_t>(count), lines_)) {
      return true;
    }
  }
}

uint64_t ChildProbe::address(const std::string& key) const {
  const char* text = ProbeLineValue(lines_, key);
  return text ? std::strtoull(text, nullptr, 16) : 0;
}

int ChildProbe::finish() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
  int status = -1;
  if (pid_ > 0) {
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  return status;
}

char ChildProbe::taskState(pid_t pid, pid_t tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
  std::stringstream text;
  text << in.rdbuf();
  const std::string stat = text.str();
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

}  // namespace test
}  // namespace Quorvel
