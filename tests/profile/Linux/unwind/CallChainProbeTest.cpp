#include "support/CallChainProbe.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem.hpp>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

// What the unwinding tests take for granted of their probe: the other modes
// (spin, block, exit-after) show themselves in the call chains those tests
// check.
namespace Quorvel {
namespace {

using test::CallChainProbe;

class CallChainProbeBuildTest : public ::testing::TestWithParam<CallChainProbe::Binary> {};

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

// Threads that come and go are only a test of anything if they do.
TEST(CallChainProbeTest, ChurnKeepsStartingThreadsAndEnds) {
  const auto started = std::chrono::steady_clock::now();
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
  // An upper bound for the loaded machine only.
  int status = -1;
  ASSERT_TRUE(probe.wait(10000, status));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace Quorvel
