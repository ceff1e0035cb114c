#include "Linux/perf/QVPerfTraceDecoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "Linux/perf/QVPerfTaskInfoManager.h"
#include "Linux/perf/QVPerfTraceEventFormat.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "base/QVException.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "support/QVPerfDataBuilder.h"
#include "support/Registries.h"
#include "support/TestSupport.h"

using namespace Quorvel;
using Quorvel::test::QVPerfDataBuilder;
using Quorvel::test::QVPerfTestSample;
namespace fs = std::filesystem;

namespace {

// Format files copied from this machine's tracefs (kernel 6.18):
// sched_switch id 372 with prev_comm at 8, prev_pid 24, prev_prio 28,
// prev_state 32 (8 bytes), next_comm 40, next_pid 56, next_prio 60;
// sys_enter 443 with id at 8; sys_exit 442 with id at 8 and ret at 16.
const std::string kEvents = QV_TEST_DATA_DIR "/profile/Linux/perf/events";
constexpr std::uint64_t kSampleType = QV_PERF_SAMPLE_IP | QV_PERF_SAMPLE_TID | QV_PERF_SAMPLE_TIME |
                                      QV_PERF_SAMPLE_CPU | QV_PERF_SAMPLE_RAW;
constexpr std::uint32_t kTracepoint = 2;
constexpr int kPid = 3100, kTid = 3101, kOther = 3102;

template <class T>
void putAt(std::vector<std::uint8_t>& raw, std::size_t offset, T value) {
  std::memcpy(raw.data() + offset, &value, sizeof value);
}

std::vector<std::uint8_t> schedSwitch(int prevPid, const char* prevComm, std::int64_t prevState, int nextPid,
                                      const char* nextComm) {
  std::vector<std::uint8_t> raw(64, 0);
  putAt<std::uint16_t>(raw, 0, 372);
  std::strncpy(reinterpret_cast<char*>(raw.data() + 8), prevComm, 15);
  putAt<std::int32_t>(raw, 24, prevPid);
  putAt<std::int32_t>(raw, 28, 120);
  putAt<std::int64_t>(raw, 32, prevState);
  std::strncpy(reinterpret_cast<char*>(raw.data() + 40), nextComm, 15);
  putAt<std::int32_t>(raw, 56, nextPid);
  putAt<std::int32_t>(raw, 60, 120);
  return raw;
}

std::vector<std::uint8_t> syscall(bool enter, std::int64_t number, std::int64_t result) {
  std::vector<std::uint8_t> raw(enter ? 64 : 24, 0);
  putAt<std::uint16_t>(raw, 0, enter ? 443 : 442);
  putAt<std::int64_t>(raw, 8, number);
  if (!enter) putAt<std::int64_t>(raw, 16, result);
  return raw;
}

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
  QVPerfTraceEventFormat format(kEvents + "/sched/sched_switch/format");
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
      fs::copy_file(fs::path(kEvents) / event / "format", root / event / "format");
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
  table.load(kEvents + "/sched/sched_switch/format");
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.schedSwitchId(), QVPerfTraceEventFormatTable::kNoEvent);
}

class QVPerfTraceDecoderTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    formats_.load(kEvents);
    attribute_ = builder_.addAttribute(kTracepoint, 372, kSampleType, {});
  }

  void add(int pid, int tid, std::uint64_t time, std::vector<std::uint8_t> raw) {
    QVPerfTestSample sample;
    sample.pid = pid;
    sample.tid = tid;
    sample.time = time;
    sample.raw = std::move(raw);
    builder_.addSample(attribute_, sample);
  }

  // Decodes the built file; ticks stay as perf wrote them.
  void decode() {
    QVPerfTaskInfoManager tasks(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS));
    QVPerfTraceDecoder decoder(tasks, [this]() -> const QVPerfTraceEventFormatTable& { return formats_; });
    decoder.setThreadTenureArchiver(threads_);
    decoder.setSystemCallArchiver(calls_);
    const std::vector<std::uint8_t> bytes = builder_.build();
    std::uint64_t first = 0, last = 0;
    ASSERT_TRUE(decoder.readData(bytes.data(), bytes.size(), "built", first, last)) << decoder.error();
    decoder.finish(0, last);
  }

  QVPerfTraceEventFormatTable formats_;
  QVPerfDataBuilder builder_;
  std::size_t attribute_ = 0;
  std::shared_ptr<QVThreadTenureArchiver> threads_ = std::make_shared<QVThreadTenureArchiver>();
  std::shared_ptr<QVSystemCallTenureArchiver> calls_ = std::make_shared<QVSystemCallTenureArchiver>();
};

TEST_F(QVPerfTraceDecoderTest, EachRunEndsWithTheReasonItsStateGives) {
  // prev_state as sched_switch reports it, and the end reason of the run.
  const struct {
    std::int64_t state;
    QVAbstractThreadTenure::EndReason reason;
  } cases[] = {
      {0, QVAbstractThreadTenure::EndReasonPreempted},    // still runnable
      {0x80, QVAbstractThreadTenure::EndReasonPreempted},  // preempted (6.x)
      {1, QVAbstractThreadTenure::EndReasonSleep},         // interruptible sleep
      {2, QVAbstractThreadTenure::EndReasonSleep},         // uninterruptible sleep
      {0x20, QVAbstractThreadTenure::EndReasonExit},       // zombie
      {64, QVAbstractThreadTenure::EndReasonExit},
      {1024, QVAbstractThreadTenure::EndReasonUnknown},
  };
  // The thread runs 10 ticks, the other thread 5, in turn, from tick 100.
  std::uint64_t time = 100;
  for (const auto& c : cases) {
    time += 10;
    add(kPid, kTid, time, schedSwitch(kTid, "runner", c.state, kOther, "other"));
    time += 5;
    add(kPid, kOther, time, schedSwitch(kOther, "other", 0, kTid, "runner"));
  }
  decode();

  std::vector<QVAbstractThreadTenure::EndReason> reasons;
  std::vector<std::uint64_t> begins, durations;
  for (const auto& run : threads_->samples()) {
    if (run->context().threadId().nativeIdentifier() != kTid) continue;
    reasons.push_back(run->endReason());
    begins.push_back(run->beginTick());
    durations.push_back(run->durationTicks());
  }
  ASSERT_EQ(std::size(cases) + 1, reasons.size());  // the last run ends with the trace
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].reason, reasons[i]) << cases[i].state;
  // The first run on the processor is taken to start with the trace's
  // first record; the runs between switches last their 10 ticks.
  EXPECT_EQ(110u, begins.front());
  for (std::size_t i = 1; i < std::size(cases); ++i) EXPECT_EQ(10u, durations[i]) << i;
  EXPECT_EQ(QVAbstractThreadTenure::EndReasonUnknown, reasons.back());
}

TEST_F(QVPerfTraceDecoderTest, SystemCallsPairEnterWithExitOfTheSameThread) {
  add(kPid, kTid, 100, syscall(false, 0, 3));      // exit without enter: nothing
  add(kPid, kTid, 110, syscall(true, 1, 0));       // replaced by the next enter
  add(kPid, kTid, 120, syscall(true, 1, 0));
  add(kPid, kOther, 125, syscall(true, 0, 0));
  add(kPid, kTid, 130, syscall(false, 1, 12));
  add(kPid, kOther, 140, syscall(false, 0, -11));  // EAGAIN
  add(kPid, kTid, 150, syscall(true, 60, 0));      // still open when the trace ends: dropped
  decode();

  ASSERT_EQ(2u, calls_->size());
  const auto& write = calls_->samples()[0];
  EXPECT_EQ(kTid, write->context().threadId().nativeIdentifier());
  EXPECT_EQ(1, write->number());
  EXPECT_EQ(120u, write->beginTick());
  EXPECT_EQ(130u, write->endTick());
  EXPECT_EQ(12u, write->result());
  const auto& read = calls_->samples()[1];
  EXPECT_EQ(kOther, read->context().threadId().nativeIdentifier());
  EXPECT_EQ(-11, static_cast<std::int64_t>(read->result()));
}

// perf saves the formats of the recording kernel in the file; with them a
// file decodes on a machine whose kernel numbers its tracepoints otherwise
// (here: a machine without any).
TEST_F(QVPerfTraceDecoderTest, RecordedFilesCarryTheirOwnTracepointFormats) {
  const std::string golden = QV_TEST_DATA_DIR "/profile/Linux/perf/golden/";
  const struct {
    const char* name;
    bool threadRuns, systemCalls;
  } cases[] = {{"tiny-sched.data", true, false}, {"tiny-sys.data", false, true}};
  for (const auto& c : cases) {
    QVPerfTaskInfoManager tasks(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS));
    const QVPerfTraceEventFormatTable none;
    QVPerfTraceDecoder decoder(tasks, [&none]() -> const QVPerfTraceEventFormatTable& { return none; });
    auto threads = std::make_shared<QVThreadTenureArchiver>();
    auto calls = std::make_shared<QVSystemCallTenureArchiver>();
    decoder.setThreadTenureArchiver(threads);
    decoder.setSystemCallArchiver(calls);
    std::uint64_t first = 0, last = 0;
    ASSERT_TRUE(decoder.readFile(golden + c.name, first, last)) << decoder.error();
    decoder.finish(first, last);
    EXPECT_EQ(c.threadRuns, threads->size() > 0) << c.name;
    EXPECT_EQ(c.systemCalls, calls->size() > 0) << c.name;
    EXPECT_EQ(0u, decoder.dropped().count("unexpected sample record type")) << c.name;
  }
  // Tracing data cut short before its formats end is refused, never read
  // past its end.
  std::ifstream in(golden + "tiny-sys.data", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  QVPerfDataFile file;
  ASSERT_TRUE(file.parse(bytes.data(), bytes.size(), "tiny-sys"));
  QVBinaryCursor tracingData;
  ASSERT_TRUE(file.featureSection(QVPerfDataFile::kFeatureTracingData, tracingData));
  std::vector<std::pair<std::string, std::string>> formats;
  ASSERT_TRUE(QVPerfDataFile::readTracingDataFormats(tracingData, formats));
  EXPECT_FALSE(formats.empty());
  for (std::size_t cut : {0, 5, 40, 200}) {
    formats.clear();
    QVBinaryCursor shortened(tracingData.data(), cut);
    EXPECT_FALSE(QVPerfDataFile::readTracingDataFormats(shortened, formats)) << cut;
  }
}

// Model tests: the platform's discovery is set aside, so only what the
// manager registers exists. Numbers are arbitrary; none is looked up live.
using QVPerfTaskInfoManagerTest = test::ModelTest;

// A sched_switch names only the thread (pid -1); a COMM record or a sample
// names both. What one record registers, the others find again.
TEST_F(QVPerfTaskInfoManagerTest, RecordsOfEitherKindFindTheTaskTheOthersRegistered) {
  QVPerfTaskInfoManager manager(nullptr);
  const QVPerfTaskInfo* comm = manager.findAddTaskInfo(100, 101, "a");
  ASSERT_NE(comm, nullptr);
  EXPECT_EQ(comm->threadId.nativeIdentifier(), 101);
  EXPECT_EQ(comm->threadId.asProcessId().nativeIdentifier(), 100);
  const QVPerfTaskInfo* sched = manager.findAddTaskInfo(-1, 101, "a");
  ASSERT_NE(sched, nullptr);
  EXPECT_EQ(sched->threadId, comm->threadId);
  EXPECT_EQ(sched->pid, 100);

  // A sched_switch of a task no other record named creates nothing.
  EXPECT_EQ(manager.findAddTaskInfo(-1, 200, "b"), nullptr);
  EXPECT_EQ(QVThread::threadWithNativeIdentifier(-1, 200, false, false), nullptr);

  // A sample of an unknown process registers process and thread, once.
  const QVPerfTaskInfo* sample = manager.findAddTaskInfo(300, 301, "");
  ASSERT_NE(sample, nullptr);
  EXPECT_NE(QVProcess::processWithId(sample->threadId.asProcessId(), false, false), nullptr);
  EXPECT_NE(QVThread::threadWithId(sample->threadId, false, false), nullptr);
  EXPECT_EQ(manager.findAddTaskInfo(300, 301, ""), sample);
  // The tid alone finds it too, once it has exited; other tids find nothing.
  const QVPerfTaskInfo* byTid = manager.findAddTaskInfo(-1, 301, "");
  ASSERT_NE(byTid, nullptr);
  EXPECT_EQ(byTid->pid, 300);
  EXPECT_EQ(byTid->threadId, sample->threadId);
  EXPECT_EQ(manager.findAddTaskInfo(-1, 302, ""), nullptr);

  // A later record fills in the name the first one lacked.
  const QVPerfTaskInfo* named = manager.findAddTaskInfo(300, 301, "worker");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->comm, "worker");
  const QVPerfTaskInfo* byComm = manager.findAddTaskInfo(-1, 301, "worker");
  ASSERT_NE(byComm, nullptr);
  EXPECT_EQ(byComm->threadId, sample->threadId);
}

}  // namespace
