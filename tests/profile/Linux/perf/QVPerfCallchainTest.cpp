#include <gtest/gtest.h>

#include "Linux/perf/QVPerfCallchain.h"
#include "Linux/perf/QVPerfDataFile.h"
#include "support/QVPerfDataBuilder.h"

using namespace Quorvel;

namespace {

constexpr std::uint64_t K = QV_PERF_CONTEXT_KERNEL, U = QV_PERF_CONTEXT_USER;
constexpr std::uint64_t kGuest = 0xFFFFFFFFFFFFF800ull;  // PERF_CONTEXT_GUEST

TEST(QVPerfCallchainTest, FramesOfTheFirstContextAndTheUserCallersOfKernelFrames) {
  struct Case {
    const char* what;
    std::uint64_t ip;
    std::uint16_t misc;  // cpumode 1 kernel, 2 user
    std::vector<std::uint64_t> chain;
    bool supported;
    std::uint64_t context;
    std::vector<std::uint64_t> frames;
  };
  const Case cases[] = {
      {"ip leads the chain, user callers follow", 0xa, 1, {K, 0xa, 0xb, U, 0xc}, true, K, {0xa, 0xb, 0xc}},
      {"ip added before the chain", 0x1, 1, {K, 0xa, 0xb, U, 0xc}, true, K, {0x1, 0xa, 0xb, 0xc}},
      {"a guest marker ends a kernel chain", 0xa, 1, {K, 0xa, kGuest, 0xc}, true, K, {0xa}},
      {"a second kernel marker ends a user chain", 0xc, 2, {U, 0xc, K, 0xa}, true, U, {0xc}},
      {"user chain", 0xc, 2, {U, 0xc, 0xd}, true, U, {0xc, 0xd}},
      {"marker alone", 0x5, 2, {U}, true, U, {0x5}},
      {"no chain, user mode", 0x5, 2, {}, true, U, {0x5}},
      {"no chain, kernel mode", 0x5, 1, {}, true, K, {0x5}},
      {"no chain, hypervisor mode", 0x5, 3, {}, true, 0, {}},
      {"guest context", 0x5, 2, {kGuest, 0x5}, false, kGuest, {}},
  };
  for (const Case& c : cases) {
    test::QVPerfDataBuilder builder;
    std::size_t attr = builder.addAttribute(1, 0, 0x1a7, {});
    test::QVPerfTestSample sample;
    sample.ip = c.ip;
    sample.misc = c.misc;
    sample.callchain = c.chain;
    builder.addSample(attr, sample);
    std::vector<std::uint8_t> bytes = builder.build();
    QVPerfDataFile file;
    ASSERT_TRUE(file.parse(bytes.data(), bytes.size(), "x"));
    QVPerfSample decoded;
    ASSERT_TRUE(file.decodeSample(file.records().at(0), decoded));
    std::uint64_t context = 0;
    std::vector<std::uint64_t> frames;
    EXPECT_EQ(QVPerfCallchainFrames(decoded, context, frames), c.supported) << c.what;
    EXPECT_EQ(context, c.context) << c.what;
    if (c.supported) {
      EXPECT_EQ(frames, c.frames) << c.what;
    }
  }
}

}  // namespace
