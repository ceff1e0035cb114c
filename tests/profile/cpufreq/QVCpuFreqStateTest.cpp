#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "cpufreq/QVCpuFreqState.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace {

using Entries = std::vector<QVCpuFreqState::Entry>;

std::string Describe(const Entries& entries) {
  std::string text;
  for (const auto& e : entries) {
    text += std::to_string(e.index) + ":" + e.settings.governor + "/" + std::to_string(e.settings.minimum) + "/" +
            std::to_string(e.settings.maximum) + "/" + std::to_string(e.settings.user) + " ";
  }
  return text;
}

TEST(QVCpuFreqStateTest, WrittenStateReadsBackInAFileOfItsOwn) {
  test::ScratchDirectory scratch("qvcpustate");
  const std::string path = scratch.file("cpufreq.state");
  const Entries entries = {{0, {"powersave", 800000, 2400000, 0}},
                           {3, {"userspace", 400000, 3600000, 1200000}},
                           {7, {"", 0, 0, 0}}};  // a governor that could not be read
  std::string error;
  ASSERT_TRUE(QVCpuFreqState::write(path, entries, error)) << error;
  Entries read;
  ASSERT_TRUE(QVCpuFreqState::read(path, read, error)) << error;
  EXPECT_EQ(Describe(read), Describe(entries));

  // Never through something that is not a regular file of ours.
  ASSERT_EQ(::mkfifo(scratch.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(QVCpuFreqState::write(scratch.file("fifo"), entries, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(QVCpuFreqState::read(scratch.file("missing"), read, error));
}

TEST(QVCpuFreqStateTest, DamagedTextKeepsTheGoodLinesAndSaysItIsDamaged) {
  const std::string header = "cpufreq-state 1\n";
  const std::string good = "cpu 1 governor powersave min 800000 max 2400000 user 0\n";
  struct Case {
    const char* name;
    std::string text;
    bool wellFormed;
    const char* entries;
  };
  const Case cases[] = {
      {"whole", header + good + "\n", true, "1:powersave/800000/2400000/0 "},
      {"no header", good, false, "1:powersave/800000/2400000/0 "},
      {"empty", "", false, ""},
      {"cut short in a line", header + good + "cpu 2 governor powersave min 8000", false,
       "1:powersave/800000/2400000/0 "},
      {"trailing word", header + "cpu 2 governor g min 1 max 2 user 3 extra\n" + good, false,
       "1:powersave/800000/2400000/0 "},
      {"keys out of order", header + "cpu 2 governor g max 1 min 2 user 3\n", false, ""},
      {"negative number", header + "cpu 2 governor g min -1 max 2 user 3\n", false, ""},
      {"number too large", header + "cpu 2 governor g min 99999999999999999999 max 2 user 3\n", false, ""},
      {"absurd processor index", header + "cpu 65536 governor g min 1 max 2 user 3\n", false, ""},
      {"binary noise", header + std::string("cpu \0\xff\x01 governor", 16) + "\n" + good, false,
       "1:powersave/800000/2400000/0 "},
  };
  for (const Case& c : cases) {
    Entries entries;
    EXPECT_EQ(QVCpuFreqState::decode(c.text, entries), c.wellFormed) << c.name;
    EXPECT_EQ(Describe(entries), c.entries) << c.name;
  }
}

}  // namespace
}  // namespace Quorvel
