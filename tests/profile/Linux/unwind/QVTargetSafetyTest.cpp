// What sampling must never do to its target: leave it stopped when the
// sampler dies, take over its job control, or make its system calls fail.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>

#include <gtest/gtest.h>

#include "Linux/unwind/QVDebuggerLinux.h"
#include "Linux/unwind/QVTracedThread.h"
#include "model/QVProcess.h"
#include "proc/QVTaskInfoLinux.h"
#include "support/ChildProbe.h"
#include "support/Registries.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace {

using test::ChildProbe;

std::vector<pid_t> Tids(pid_t pid) {
  std::unordered_set<QVThreadId> ids;
  QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(pid), ids, false);
  std::vector<pid_t> tids;
  for (const QVThreadId& id : ids) {
    tids.push_back(static_cast<pid_t>(id.nativeIdentifier()));
  }
  return tids;
}

// Polls until every thread of `pid` is (or no thread is) in job-control
// stop; the timeout is only an upper bound.
bool WaitForStopped(pid_t pid, bool stopped) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    for (pid_t tid : Tids(pid)) {
      const char state = ChildProbe::taskState(pid, tid);
      all = all && ((state == 'T') == stopped);
    }
    if (all) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class TargetSafetyTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    if (test::PtraceBlocked()) {
      GTEST_SKIP() << "ptrace attach is disabled on this machine";
    }
  }
  std::string results = GetTempDirectory() + "/syscall-probe-" + std::to_string(::getpid());
};

// A sampler killed at any point of a tick (seizing, waiting for the stop,
// unwinding, detaching) leaves every thread of the target running: no stop
// signal was ever queued for the kernel's detach to leave behind. The delays
// step through a tick's phases; 40 rounds have caught a queued SIGSTOP every
// time.
TEST_F(TargetSafetyTest, SamplerKilledMidTickLeavesTargetRunning) {
  ChildProbe target{QV_SYSCALL_PROBE, {results}};
  ASSERT_TRUE(target.start());
  for (int round = 0; round < 40; ++round) {
    const pid_t sampler = ::fork();
    ASSERT_GE(sampler, 0);
    if (sampler == 0) {
      for (;;) {
        for (pid_t tid : Tids(target.pid())) {
          QVTracedThread held(tid, false, QVTracedThread::WaitStyle::Polled);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + 350 * round));
    ::kill(sampler, SIGKILL);
    int status = 0;
    ASSERT_EQ(sampler, ::waitpid(sampler, &status, 0));
    // The tracer's exit detached its tracees before it could be reaped.
    test::ExpectNotTraced(target.pid());
  }
  ::unlink(results.c_str());
}

// The user's SIGSTOP stops the target while it is being sampled, and stays
// in force across samples until SIGCONT resumes it.
TEST_F(TargetSafetyTest, UserStopAndContinueWorkWhileSampling) {
  ChildProbe target{QV_SYSCALL_PROBE, {results}};
  ASSERT_TRUE(target.start());
  auto process = test::DiscoverProcess(target.pid());
  ASSERT_TRUE(process);
  auto debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
  ASSERT_TRUE(debugger);
  std::atomic<bool> done{false};
  std::atomic<long> ticks{0};
  std::thread sampler([&] {
    while (!done.load()) {
      QVDebugger::CallStackMap stacks;
      debugger->getProcessCallStacks(stacks, 64);
      ++ticks;
    }
  });
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(0, ::kill(target.pid(), SIGSTOP));
    EXPECT_TRUE(WaitForStopped(target.pid(), true)) << "round " << round;
    const long before = ticks.load();
    while (ticks.load() < before + 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(WaitForStopped(target.pid(), true)) << "sampling resumed a stopped target, round " << round;
    ASSERT_EQ(0, ::kill(target.pid(), SIGCONT));
    EXPECT_TRUE(WaitForStopped(target.pid(), false)) << "round " << round;
  }
  done.store(true);
  sampler.join();
  test::ExpectNotTraced(target.pid());
  ::unlink(results.c_str());
}

// Over 2,500 ticks: no call of the target
// fails with EINTR or returns before its timeout, whether the kernel would
// restart it or not.
TEST_F(TargetSafetyTest, BlockedCallsSeeNoEintrAndFullTimeouts) {
  ChildProbe target{QV_SYSCALL_PROBE, {results}};
  ASSERT_TRUE(target.start());
  auto process = test::DiscoverProcess(target.pid());
  ASSERT_TRUE(process);
  auto debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
  ASSERT_TRUE(debugger);
  // Back to back rather than paced: a busy machine stretches sleeps, and
  // denser ticks only make an interrupted call likelier.
  constexpr long kTicks = 2500;
  long stacksTaken = 0;
  for (long tick = 0; tick < kTicks; ++tick) {
    QVDebugger::CallStackMap stacks;
    debugger->getProcessCallStacks(stacks, 64);
    stacksTaken += static_cast<long>(stacks.size());
  }
  target.closeInput();
  int status = 0;
  ASSERT_TRUE(target.wait(10000, status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // The sleeping threads' stacks were taken too, not only the busy one's.
  EXPECT_GT(stacksTaken, kTicks * 3);
  std::ifstream in(results);
  std::string name;
  long calls = 0;
  long eintr = 0;
  long early = 0;
  int lines = 0;
  while (in >> name >> calls >> eintr >> early) {
    ++lines;
    EXPECT_GT(calls, 0) << name;
    EXPECT_EQ(0, eintr) << name << " failed with EINTR";
    EXPECT_EQ(0, early) << name << " returned before its timeout";
  }
  EXPECT_EQ(5, lines);
  ::unlink(results.c_str());
}

}  // namespace
}  // namespace Quorvel
