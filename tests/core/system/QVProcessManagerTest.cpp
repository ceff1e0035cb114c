#include "system/QVProcessManager.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace {

using std::chrono::milliseconds;

// Records every exit the manager reports.
class ExitLog {
 public:
  void record(pid_t pid, int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    exits_[pid] = status;
    changed_.notify_all();
  }
  bool waitFor(pid_t pid, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return exits_.count(pid) != 0; });
  }
  bool waitForCount(size_t count, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return exits_.size() >= count; });
  }
  bool has(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return exits_.count(pid) != 0;
  }
  int status(pid_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    return exits_.at(pid);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<pid_t, int> exits_;
};

// Registers an ExitLog with a manager for the scope of a test.
class ScopedExitLog : public ExitLog {
 public:
  explicit ScopedExitLog(QVProcessManager& manager) : manager_(manager) {
    token_ = manager_.addChildExitHandler([this](pid_t pid, int status) { record(pid, status); });
  }
  ~ScopedExitLog() { manager_.removeChildExitHandler(token_); }

 private:
  QVProcessManager& manager_;
  QVProcessManager::HandlerToken token_;
};

// Restores a signal's disposition when the test ends.
class ScopedSignalDisposition {
 public:
  ScopedSignalDisposition(int signal, void (*handler)(int)) : signal_(signal) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, &previous_);
  }
  ~ScopedSignalDisposition() { ::sigaction(signal_, &previous_, nullptr); }

 private:
  int signal_;
  struct sigaction previous_;
};

std::string statusLine(const std::string& procStatus, const std::string& key) {
  const std::string::size_type at = procStatus.find("\n" + key + ":");
  if (at == std::string::npos) {
    return std::string();
  }
  const std::string::size_type begin = procStatus.find_first_not_of(" \t", at + key.size() + 2);
  return procStatus.substr(begin, procStatus.find('\n', begin) - begin);
}

// Every case runs against both ways of noticing exits: pidfds polled by the
// manager's thread, and the waiting thread per child used on kernels
// without pidfd_open.
class QVProcessManagerTest : public ::testing::TestWithParam<QVProcessManager::Watch> {
 protected:
  void SetUp() override {
    if (!FileCanExecute("/bin/sh") || !FileCanExecute("/bin/true") || !FileCanExecute("/bin/false")) {
      GTEST_SKIP() << "needs /bin/sh, /bin/true and /bin/false";
    }
  }

  QVProcessManager manager_{GetParam()};
};

TEST_P(QVProcessManagerTest, RunReportsWaitStatusOrMinusOneAndCapturesOutputInDirectory) {
  // A bare name is looked up in $PATH.
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"/bin/true"}, 0}, {{"/bin/false"}, 1}, {{"/bin/sh", "-c", "exit 42"}, 42}, {{"true"}, 0}};
  for (const auto& c : cases) {
    const int status = manager_.run(c.first[0], std::vector<std::string>(c.first.begin() + 1, c.first.end()), "");
    ASSERT_TRUE(WIFEXITED(status)) << c.first[0];
    EXPECT_EQ(WEXITSTATUS(status), c.second) << c.first[0];
  }
  // A missing program or working folder is -1.
  EXPECT_EQ(manager_.run("/nonexistent/qv-missing-tool", {}, ""), -1);
  EXPECT_EQ(manager_.run("qv-missing-tool-in-path", {}, ""), -1);
  EXPECT_EQ(manager_.run("/bin/true", {}, "/nonexistent/qv-missing-dir"), -1);

  // It captures the output, and runs in the given directory.
  test::ScratchDirectory scratch("qvprocess");
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(scratch.path().c_str(), resolved), nullptr);

  std::string output;
  const int status = manager_.run("/bin/sh", {"-c", "pwd; echo to-stderr >&2; exit 3"}, scratch.path(), output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(output, std::string(resolved) + "\nto-stderr\n");

  // Without capture the child's stdout is /dev/null, not ours.
  EXPECT_EQ(WEXITSTATUS(manager_.run("/bin/sh", {"-c", "test \"$(readlink /proc/$$/fd/1)\" = /dev/null"}, "")),
            0);
}

TEST_P(QVProcessManagerTest, ChildStartsWithDefaultSignalsEmptyMaskAndStandardDescriptorsOnly) {
  if (!FileCanExecute("/bin/cat") || !FileCanRead("/proc/self/status")) {
    GTEST_SKIP() << "needs /bin/cat and /proc";
  }
  ScopedSignalDisposition ignored(SIGINT, SIG_IGN);
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
  std::string status;
  const int result = manager_.run("/bin/cat", {"/proc/self/status"}, "", status);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_EQ(WEXITSTATUS(result), 0);
  EXPECT_EQ(statusLine(status, "SigBlk"), "0000000000000000");
  EXPECT_EQ(statusLine(status, "SigIgn"), "0000000000000000");

  // Nor does it inherit a descriptor someone forgot to mark close-on-exec.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 3);
  std::string listing;
  const int listed = manager_.run("/bin/sh", {"-c", "ls /proc/$$/fd"}, "", listing);
  ::close(leaky);
  ASSERT_EQ(WEXITSTATUS(listed), 0);
  EXPECT_EQ(listing, "0\n1\n2\n");
}

TEST_P(QVProcessManagerTest, HandlersHearEveryExitAndTheCallerOrTheManagerReaps) {
  // Ignored here, yet the child must die of it: dispositions are reset.
  ScopedSignalDisposition ignored(SIGINT, SIG_IGN);
  ScopedExitLog log(manager_);
  const pid_t exited = manager_.spawn("/bin/sh", {"-c", "exit 7"}, "");
  const pid_t interrupted = manager_.spawn("/bin/sh", {"-c", "exec sleep 30"}, "");
  const pid_t reaped = manager_.spawn("/bin/sh", {"-c", "exit 4"}, "", QVProcessManager::ReapPolicy::Manager);
  ASSERT_GT(exited, 0);
  ASSERT_GT(interrupted, 0);
  ASSERT_GT(reaped, 0);
  // Let the shell reach sleep; SIGINT before exec would also kill it, which
  // would still pass, so the assertions below do not depend on timing.
  ::usleep(50000);
  ASSERT_EQ(::kill(interrupted, SIGINT), 0);
  for (pid_t pid : {exited, interrupted, reaped}) {
    ASSERT_TRUE(log.waitFor(pid, milliseconds(5000))) << pid;
  }
  EXPECT_TRUE(WIFEXITED(log.status(exited)));
  EXPECT_EQ(WEXITSTATUS(log.status(exited)), 7);
  EXPECT_TRUE(WIFSIGNALED(log.status(interrupted)));
  EXPECT_EQ(WTERMSIG(log.status(interrupted)), SIGINT);
  EXPECT_EQ(WEXITSTATUS(log.status(reaped)), 4);

  // The handler hears first; the zombie stays for the caller.
  EXPECT_EQ(test::WaitForChild(exited), 7);
  EXPECT_EQ(test::WaitForChild(interrupted), 128 + SIGINT);
  // Under the manager's policy it is reaped just after the handlers ran;
  // allow the manager's thread to get there.
  int status = 0;
  bool gone = false;
  for (int attempt = 0; attempt < 200 && !gone; ++attempt) {
    gone = ::waitpid(reaped, &status, WNOHANG) < 0 && errno == ECHILD;
    if (!gone) {
      ::usleep(10000);
    }
  }
  EXPECT_TRUE(gone) << "child " << reaped << " is still waiting to be reaped";
}

TEST_P(QVProcessManagerTest, SpawnFailuresReturnMinusOneAndLeaveNoChild) {
  test::ScratchDirectory scratch("qvprocess");
  const std::string notExecutable = scratch.file("data");
  ASSERT_TRUE(FileWriteString(notExecutable, "#!/bin/sh\nexit 0\n"));
  ASSERT_EQ(::chmod(notExecutable.c_str(), 0644), 0);

  errno = 0;
  EXPECT_EQ(manager_.spawn("/bin/true", {}, scratch.file("missing-dir")), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(manager_.spawn("/nonexistent/qv-missing-tool", {}, ""), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(manager_.spawn(notExecutable, {}, ""), -1);
  EXPECT_EQ(errno, EACCES);

  // The failed children were reaped where they failed: none is left.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_P(QVProcessManagerTest, ManyChildrenAtOnce) {
  constexpr int kChildren = 40;
  ScopedExitLog log(manager_);
  std::map<pid_t, int> expected;
  for (int i = 0; i < kChildren; ++i) {
    // Staggered exits so that reports arrive both singly and in batches.
    const std::string script = "sleep 0.0" + std::to_string(i % 5) + "; exit " + std::to_string(i + 1);
    const pid_t pid = manager_.spawn("/bin/sh", {"-c", script}, "");
    ASSERT_GT(pid, 0);
    expected[pid] = i + 1;
  }
  ASSERT_TRUE(log.waitForCount(kChildren, milliseconds(20000)));
  for (const auto& child : expected) {
    EXPECT_EQ(WEXITSTATUS(log.status(child.first)), child.second) << "pid " << child.first;
    EXPECT_EQ(test::WaitForChild(child.first), child.second) << "pid " << child.first;
  }
}

TEST_P(QVProcessManagerTest, RemovedHandlerIsNotCalledAndAThrowingOneDoesNotStopTheOthers) {
  const auto throwing = manager_.addChildExitHandler([](pid_t, int) { throw std::runtime_error("handler failed"); });
  ExitLog kept;
  ExitLog removed;
  const auto keptToken = manager_.addChildExitHandler([&](pid_t pid, int status) { kept.record(pid, status); });
  const auto removedToken =
      manager_.addChildExitHandler([&](pid_t pid, int status) { removed.record(pid, status); });
  EXPECT_NE(keptToken, removedToken);
  EXPECT_TRUE(manager_.removeChildExitHandler(removedToken));
  EXPECT_FALSE(manager_.removeChildExitHandler(removedToken));

  const pid_t pid = manager_.spawn("/bin/true", {}, "");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(kept.waitFor(pid, milliseconds(5000)));
  EXPECT_FALSE(removed.has(pid));
  EXPECT_EQ(test::WaitForChild(pid), 0);
  EXPECT_TRUE(manager_.removeChildExitHandler(keptToken));
  EXPECT_TRUE(manager_.removeChildExitHandler(throwing));
}

TEST_P(QVProcessManagerTest, ChildrenTheManagerDidNotSpawnAreLeftAlone) {
  ScopedExitLog log(manager_);
  // A child of our own, started behind the manager's back.
  const pid_t own = test::StartChild([] { return 5; });
  ASSERT_GT(own, 0);
  // And one through run(), which waits for its child itself.
  EXPECT_EQ(WEXITSTATUS(manager_.run("/bin/sh", {"-c", "exit 6"}, "")), 6);

  // Let our own child finish, then use a spawned child as a marker: once
  // its exit is reported, an exit of ours would have been too.
  ::usleep(50000);
  const pid_t marker = manager_.spawn("/bin/true", {}, "");
  ASSERT_GT(marker, 0);
  ASSERT_TRUE(log.waitFor(marker, milliseconds(5000)));
  test::WaitForChild(marker);
  EXPECT_FALSE(log.has(own));
  EXPECT_EQ(test::WaitForChild(own), 5);
}

INSTANTIATE_TEST_SUITE_P(Watch, QVProcessManagerTest,
                         ::testing::Values(QVProcessManager::Watch::Automatic, QVProcessManager::Watch::Threads),
                         [](const ::testing::TestParamInfo<QVProcessManager::Watch>& info) {
                           return info.param == QVProcessManager::Watch::Automatic ? std::string("Automatic")
                                                                                   : std::string("Threads");
                         });

TEST(QVProcessManagerFindExeTest, SearchesPathAndChecksExecutability) {
  test::ScratchDirectory scratch("qvfindexe");
  const std::string tool = scratch.file("qv-tool");
  const std::string data = scratch.file("qv-data");
  ASSERT_TRUE(FileWriteString(tool, "#!/bin/sh\nexit 0\n"));
  ASSERT_TRUE(FileWriteString(data, "not a program\n"));
  ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(data.c_str(), 0644), 0);
  QVProcessManager& manager = QVProcessManager::defaultManager();

  EXPECT_EQ(manager.findExe("qv-tool", "/nonexistent:" + scratch.path()), tool);
  EXPECT_EQ(manager.findExe("qv-data", scratch.path()), "");
  EXPECT_EQ(manager.findExe("qv-missing", scratch.path()), "");
  // Names with a slash are taken as they are.
  EXPECT_EQ(manager.findExe(tool, "/nonexistent"), tool);
  EXPECT_EQ(manager.findExe(data), "");
  EXPECT_EQ(manager.findExe(scratch.path()), "") << "a directory is not an executable";
  EXPECT_EQ(manager.findExe(""), "");
  // $PATH by default.
  const std::string sh = manager.findExe("sh");
  EXPECT_FALSE(sh.empty());
  EXPECT_TRUE(FileCanExecute(sh));
}

}  // namespace
}  // namespace Quorvel
