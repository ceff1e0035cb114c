#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "support/TestSupport.h"

using namespace Quorvel;
namespace fs = std::filesystem;

namespace {

const std::string kFixtures = QV_TEST_DATA_DIR "/profile/Linux/perf/events";

TEST(QVPerfTraceEventFormatTableTest, FindsTheDecodedTracepointsAndSkipsBadFiles) {
  struct Case {
    const char* what;
    std::vector<std::string> copied;  // fixture event directories
    bool addBroken;
    std::uint64_t sched, enter, exit;
    std::size_t size;
  };
  const Case cases[] = {
      {"all three",
       {"sched/sched_switch", "raw_syscalls/sys_enter", "raw_syscalls/sys_exit"},
       false,
       372,
       443,
       442,
       3},
      {"no sched_switch",
       {"raw_syscalls/sys_enter", "raw_syscalls/sys_exit", "sched/sched_wakeup"},
       false,
       QVPerfTraceEventFormatTable::kNoEvent,
       443,
       442,
       3},
      {"broken format beside good ones",
       {"sched/sched_switch"},
       true,
       372,
       QVPerfTraceEventFormatTable::kNoEvent,
       QVPerfTraceEventFormatTable::kNoEvent,
       1},
  };
  for (const Case& c : cases) {
    test::ScratchDirectory scratch;
    const fs::path root(scratch.path());
    for (const std::string& event : c.copied) {
      fs::create_directories(root / event);
      fs::copy_file(fs::path(kFixtures) / event / "format", root / event / "format");
    }
    if (c.addBroken) {
      fs::create_directories(root / "bad/broken");
      std::ofstream(root / "bad/broken/format") << "name: broken\n\tfield:int;offset:x\n";
    }
    QVPerfTraceEventFormatTable table;
    table.load(root.string());
    EXPECT_EQ(table.schedSwitchId(), c.sched) << c.what;
    EXPECT_EQ(table.syscallEnterId(), c.enter) << c.what;
    EXPECT_EQ(table.syscallExitId(), c.exit) << c.what;
    EXPECT_EQ(table.size(), c.size) << c.what;
    EXPECT_EQ(table.schedSwitch() != nullptr, c.sched != QVPerfTraceEventFormatTable::kNoEvent) << c.what;
  }
}

TEST(QVPerfTraceEventFormatTableTest, UnreadableDirectoryGivesAnEmptyTable) {
  // Root reads any mode bits, so a path that is no directory stands in.
  QVPerfTraceEventFormatTable table;
  table.load(kFixtures + "/sched/sched_switch/format");
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.schedSwitchId(), QVPerfTraceEventFormatTable::kNoEvent);
}

}  // namespace
