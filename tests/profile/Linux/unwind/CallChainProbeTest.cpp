#include "support/CallChainProbe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

namespace Quorvel {
namespace {

using test::CallChainProbe;
using Clock = std::chrono::steady_clock;

// Generous bound for a probe to end after its own deadline on a loaded
// two-core machine shared with other builds.
constexpr int kExitSlackMs = 10000;

// Waits for the probe to end and expects a clean exit no earlier than
// `atLeast` after `started`.
void ExpectExitsCleanlyAfter(CallChainProbe& probe, Clock::time_point started, std::chrono::milliseconds atLeast) {
  int status = -1;
  ASSERT_TRUE(probe.wait(kExitSlackMs, status));
  EXPECT_GE(Clock::now() - started, atLeast);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class CallChainProbeBuildTest : public ::testing::TestWithParam<CallChainProbe::Binary> {};

TEST_P(CallChainProbeBuildTest, SpinReportsBothThreadsAndExitsWhenItsTimeIsUp) {
  const auto started = Clock::now();
  CallChainProbe probe(GetParam().path, {"spin", "0.5"});
  ASSERT_TRUE(probe.start());
  EXPECT_EQ(probe.value("pid"), probe.pid());
  const long threadB = probe.value("thread_b");
  ASSERT_GT(threadB, 0);
  EXPECT_NE(threadB, probe.pid());
  // thread_b is a thread of the probe, not some other task.
  std::ifstream task("/proc/" + std::to_string(probe.pid()) + "/task/" + std::to_string(threadB) + "/stat");
  EXPECT_TRUE(task.good());
  ExpectExitsCleanlyAfter(probe, started, std::chrono::milliseconds(500));
}

TEST_P(CallChainProbeBuildTest, ChainFunctionsAreNamedInTheSymbolTable) {
  const QVElfImage image(GetParam().path);
  ASSERT_TRUE(image.isValid()) << image.error();
  // -rdynamic puts them in the dynamic table too, so they survive stripping.
  EXPECT_TRUE(image.hasDynamicSymbolTable());
  EXPECT_EQ(image.hasLineInfo(), GetParam().debugInfo);
  const QVElfSymbolTable symbols(image);
  for (const char* name : {"outer_a", "middle_a", "inner_a", "thread_b", "work_b", "leaf_b", "block_outer",
                           "block_middle", "block_inner", "churn_worker"}) {
    const QVElfSymbol* symbol = symbols.symbolNamed(name);
    ASSERT_NE(symbol, nullptr) << name;
    EXPECT_TRUE(symbol->isFunction()) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, CallChainProbeBuildTest, ::testing::ValuesIn(CallChainProbe::binaries()),
                         [](const ::testing::TestParamInfo<CallChainProbe::Binary>& info) {
                           return info.param.label;
                         });

TEST(CallChainProbeTest, BlockWaitsInReadUntilKilled) {
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_NOFP_G, {"block"});
  ASSERT_TRUE(probe.start());
  EXPECT_EQ(probe.value("pid"), probe.pid());
  // The probe says "ready" just before it reads.
  EXPECT_TRUE(probe.waitForState('S'));
  // The first field of /proc/<pid>/syscall is the number of the call the
  // task sleeps in; read is 0 on x86-64.
  std::ifstream syscall("/proc/" + std::to_string(probe.pid()) + "/syscall");
  std::string number;
  if (syscall >> number) {
    EXPECT_EQ(number, "0");
  }
  int status = -1;
  EXPECT_FALSE(probe.wait(200, status));
}

TEST(CallChainProbeTest, ExitAfterEndsAtTheTimeGiven) {
  const auto started = Clock::now();
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"exit-after", "300"});
  ASSERT_TRUE(probe.start());
  ExpectExitsCleanlyAfter(probe, started, std::chrono::milliseconds(300));
}

TEST(CallChainProbeTest, ChurnKeepsStartingThreadsAndEnds) {
  const auto started = Clock::now();
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_NOG, {"churn", "1"});
  ASSERT_TRUE(probe.start());
  // Each worker lives for a few tens of microseconds, so looking at the
  // probe's task list now and then catches several different ones.
  std::set<std::string> workers;
  const std::string taskDirectory = "/proc/" + std::to_string(probe.pid()) + "/task";
  for (int look = 0; look < 200 && workers.size() < 3; ++look) {
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(taskDirectory, error), end; !error && entry != end;
         entry.increment(error)) {
      const std::string tid = entry->path().filename().string();
      if (tid != std::to_string(probe.pid())) {
        workers.insert(tid);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(workers.size(), 3u);
  ExpectExitsCleanlyAfter(probe, started, std::chrono::milliseconds(1000));
}

TEST(CallChainProbeTest, BadArgumentsEndWithUsageAndNoReady) {
  for (const auto& arguments : {std::vector<std::string>{"spin"}, std::vector<std::string>{"spin", "soon"},
                                std::vector<std::string>{"block", "1"}, std::vector<std::string>{"dance", "1"},
                                std::vector<std::string>{}}) {
    CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, arguments);
    EXPECT_FALSE(probe.start());
    int status = -1;
    ASSERT_TRUE(probe.wait(kExitSlackMs, status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
  }
}

TEST(CallChainProbeTest, DestructionKillsARunningProbe) {
  pid_t pid = -1;
  {
    CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"spin", "600"});
    ASSERT_TRUE(probe.start());
    pid = probe.pid();
  }
  // Reaped, so the pid names no process of ours any more.
  EXPECT_NE(::kill(pid, 0), 0);
}

}  // namespace
}  // namespace Quorvel
