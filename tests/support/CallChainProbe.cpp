#include "support/CallChainProbe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

const std::vector<CallChainProbe::Binary>& CallChainProbe::binaries() {
  static const std::vector<Binary> builds = {
      {QV_CALL_CHAIN_PROBE_FP_G, true, true, "fp_g"},
      {QV_CALL_CHAIN_PROBE_NOFP_G, false, true, "nofp_g"},
      {QV_CALL_CHAIN_PROBE_FP_NOG, true, false, "fp_nog"},
      {QV_CALL_CHAIN_PROBE_NOFP_NOG, false, false, "nofp_nog"},
  };
  return builds;
}

CallChainProbe::CallChainProbe(const std::string& program, const std::vector<std::string>& arguments)
    : program_(program), arguments_(arguments) {}

CallChainProbe::~CallChainProbe() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  if (output_ >= 0) {
    ::close(output_);
  }
}

bool CallChainProbe::start(int timeoutMs) {
  if (pid_ > 0) {
    return false;
  }
  // Everything exec needs is built before fork: the child of a threaded
  // test may only make async-signal-safe calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program_.c_str()));
  for (std::string& argument : arguments_) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  int fromChild[2];
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    return false;
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
      ::dup2(devNull, 0);
    }
    ::dup2(fromChild[1], 1);
    ::execv(program_.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(fromChild[1]);
  output_ = fromChild[0];
  if (pid_ < 0) {
    return false;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string pending;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd readable{output_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left));
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
    if (AppendProbeOutput(pending, buffer, static_cast<size_t>(count), lines_)) {
      return true;
    }
  }
}

long CallChainProbe::value(const std::string& key) const {
  const char* text = ProbeLineValue(lines_, key);
  return text ? std::strtol(text, nullptr, 10) : -1;
}

bool CallChainProbe::wait(int timeoutMs, int& status) {
  if (pid_ <= 0) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      pid_ = -1;
      return true;
    }
    if (reaped < 0 && errno != EINTR) {
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace test
}  // namespace Quorvel
