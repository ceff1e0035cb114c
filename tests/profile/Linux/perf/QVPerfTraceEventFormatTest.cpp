#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Linux/perf/QVPerfTraceEventFormat.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "base/QVException.h"
#include "support/TestSupport.h"

using namespace Quorvel;
namespace fs = std::filesystem;

namespace {

// Format files copied from this machine's tracefs (kernel 6.18).
const std::string kFixtures = QV_TEST_DATA_DIR "/profile/Linux/perf/events";

TEST(QVPerfTraceEventFormatTest, FieldLinesParseWithAndWithoutSignedPart) {
  struct Case {
    const char* line;
    const char* name;
    const char* type;
    std::uint64_t offset, length;
    bool isSigned;
  };
  const Case cases[] = {
      {"\tfield:char prev_comm[16];\toffset:12;\tsize:16;\tsigned:1;", "prev_comm[16]", "char", 12, 16, true},
      {"\tfield:char prev_comm[16];\toffset:12;\tsize:16;", "prev_comm[16]", "char", 12, 16, false},
      {"\tfield:unsigned long args[6];\toffset:16;\tsize:48;\tsigned:0;", "args[6]", "unsigned long", 16, 48,
       false},
  };
  for (const Case& c : cases) {
    std::istringstream in(std::string("name: t\nID: 7\nformat:\n") + c.line + "\n");
    QVPerfTraceEventFormat format(in, "mem");
    ASSERT_EQ(format.fields().size(), 1u) << c.line;
    const QVPerfTraceEventField& field = format.fields()[0];
    EXPECT_EQ(field.name, c.name);
    EXPECT_EQ(field.type, c.type);
    EXPECT_EQ(field.offset, c.offset);
    EXPECT_EQ(field.length, c.length);
    EXPECT_EQ(field.isSigned, c.isSigned);
    EXPECT_EQ(format.id(), 7u);
    EXPECT_EQ(format.name(), "t");
  }
}

TEST(QVPerfTraceEventFormatTest, MalformedFieldAndMissingFileThrow) {
  std::istringstream in("name: t\n\tfield:int x;\toffset:zz;\n");
  try {
    QVPerfTraceEventFormat format(in, "bad");
    FAIL() << "no exception";
  } catch (const QVException& e) {
    EXPECT_STREQ(e.what(), "failed to parse field at line 2 in bad");
  }
  EXPECT_THROW(QVPerfTraceEventFormat("/nonexistent/format"), QVException);
}

TEST(QVPerfTraceEventFormatTest, SchedSwitchFieldsReadFromRawData) {
  QVPerfTraceEventFormat format(kFixtures + "/sched/sched_switch/format");
  EXPECT_EQ(format.name(), "sched_switch");
  EXPECT_EQ(format.id(), 372u);
  EXPECT_EQ(format.fields().size(), 11u);
  EXPECT_EQ(format.printFormat().rfind("\"prev_comm=%s", 0), 0u);
  int prevComm = format.indexOfFieldRegex("prev_comm\\[.*\\]");
  int prevPid = format.indexOfField("prev_pid");
  int prevState = format.indexOfField("prev_state");
  ASSERT_GE(prevComm, 0);
  EXPECT_EQ(format.indexOfField("prev_comm"), -1);  // the array keeps its brackets

  // Raw data laid out per the fixture: comm at 8, pid at 24, state at 32.
  std::uint8_t raw[64] = {};
  std::memcpy(raw + 8, "worker-with-long-name", 16);  // fills the field without a zero
  const std::int32_t pid = -5;
  std::memcpy(raw + 24, &pid, 4);
  raw[32] = 2;
  std::string comm;
  ASSERT_TRUE(format.readStringField(prevComm, raw, sizeof(raw), comm));
  EXPECT_EQ(comm, "worker-with-long");
  std::int32_t readPid = 0;
  ASSERT_TRUE(format.readIntegerField(prevPid, raw, sizeof(raw), readPid));
  EXPECT_EQ(readPid, -5);
  std::int64_t state = 0;
  ASSERT_TRUE(format.readIntegerField(prevState, raw, sizeof(raw), state));
  EXPECT_EQ(state, 2);

  // Reads past the data or of unknown fields fail rather than read beyond.
  EXPECT_FALSE(format.readIntegerField(prevState, raw, 39, state));
  EXPECT_FALSE(format.readIntegerField(-1, raw, sizeof(raw), state));
  EXPECT_FALSE(format.readIntegerField(99, raw, sizeof(raw), state));
  EXPECT_FALSE(format.readIntegerField(prevComm, raw, sizeof(raw), state));  // 16-byte integer
}

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
  // Root reads any mode bits, so a path that is no directory stands in for
  // an unreadable one.
  QVPerfTraceEventFormatTable table;
  table.load(kFixtures + "/sched/sched_switch/format");
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.schedSwitchId(), QVPerfTraceEventFormatTable::kNoEvent);
}

}  // namespace
