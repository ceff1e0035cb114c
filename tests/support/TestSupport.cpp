#include "support/TestSupport.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>

#include "base/QVException.h"
#include "base/QVLog.h"

namespace Quorvel {
namespace test {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = buffer.data();
}

ScratchDirectory::~ScratchDirectory() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::file(const std::string& relative) const { return path_ + "/" + relative; }

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    hadValue_ = true;
    previous_ = old;
  }
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (hadValue_) {
    ::setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  boost::filesystem::create_directories(boost::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

void CopyFile(const std::string& from, const std::string& to) { WriteWholeFile(to, ReadWholeFile(from)); }

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

int RunThisProgramAgain(const std::string& filter, const std::string& variable) {
  // Everything the child needs is made before the fork: between fork and
  // exec only async-signal-safe calls are allowed.
  std::vector<std::string> variables{variable};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    variables.emplace_back(*entry);
  }
  std::vector<char*> environment;
  for (std::string& text : variables) {
    environment.push_back(text.data());
  }
  environment.push_back(nullptr);
  std::string program = "this-test-again";
  std::string filterArgument = "--gtest_filter=" + filter;
  char* arguments[] = {program.data(), filterArgument.data(), nullptr};
  const pid_t child = ::fork();
  if (child == 0) {
    ::execve("/proc/self/exe", arguments, environment.data());
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

pid_t StartChild(const std::function<int()>& body) {
  // Buffered output would otherwise be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int status = body();
    std::fflush(nullptr);
    ::_exit(status);
  }
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  if (pid <= 0) return -1;
  while (::waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunInChild(const std::function<int()>& body) { return WaitForChild(StartChild(body)); }

bool DropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return ::syscall(SYS_capset, &header, data) == 0;
}

std::string CaptureLog(const std::function<void()>& body) {
  StartCaptureLog();
  body();
  std::string text;
  StopCaptureLog(text);
  return text;
}

std::string ThrownQVException(const std::function<void()>& action) {
  try {
    action();
  } catch (const QVException& e) {
    return e.message() + " @ " + e.sourceFile() + ":" + std::to_string(e.line());
  }
  return "no exception";
}

}  // namespace test
}  // namespace Quorvel
