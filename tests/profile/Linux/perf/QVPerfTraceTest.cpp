// perf's trace side: the recorder and driver against this machine's perf,
// the trace decoder on built files and golden recordings, the tracepoint
// formats it reads and its task bookkeeping.
#include "Linux/perf/QVPerfTraceRecorderLinux.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "Linux/perf/QVPerfTaskInfoManager.h"
#include "Linux/perf/QVPerfTraceDecoder.h"
#include "Linux/perf/QVPerfTraceEventFormat.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "notify/QVNotificationIds.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "support/ElfProbes.h"
#include "support/QVPerfDataBuilder.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"

using namespace Quorvel;
using Quorvel::test::QVPerfDataBuilder;
using Quorvel::test::QVPerfTestSample;
namespace fs = std::filesystem;

// The workload that the recordings below watch: run as a child of the test
// (this binary, with a filter that selects only it), so that its code and
// symbols are known here.
extern "C" __attribute__((noinline)) void qvPerfTestSpin(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  volatile unsigned long sink = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 10000; ++i) sink = sink + static_cast<unsigned long>(i) * 2654435761ul;
  }
}

namespace {

constexpr int kSleeps = 10;
constexpr int kWrites = 200;
// Its length is a result no other write of the child returns.
constexpr char kWriteText[] = "qvprof perf recorder test write\n";
constexpr long kWriteLength = sizeof kWriteText - 1;
constexpr int kWriteNumber = 1;  // write on x86-64

TEST(QVPerfTraceRecorderWorkload, DISABLED_SleepWriteSpin) {
  std::thread sleeper([] {
    ::prctl(PR_SET_NAME, "qvsleeper", 0, 0, 0);
    for (int i = 0; i < kSleeps; ++i) {
      const timespec nap = {0, 20 * 1000 * 1000};
      ::nanosleep(&nap, nullptr);
    }
  });
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (int i = 0; i < kWrites; ++i) ASSERT_EQ(kWriteLength, ::write(fd, kWriteText, kWriteLength));
  ::close(fd);
  qvPerfTestSpin(0.6);
  sleeper.join();
}

// Why perf cannot record system-wide here, or "".
std::string perfUnavailable(bool traces) {
  auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  if (!driver || driver->perfBinaryPath().empty()) return "perf is not installed";
  if (!driver->isAvailable()) return "the perf driver is not available";
  if (::geteuid() != 0) {
    std::string level;
    FileReadString("/proc/sys/kernel/perf_event_paranoid", level);
    if (std::atoi(level.c_str()) > (traces ? -1 : 0)) return "system-wide perf needs root here";
  }
  if (traces && QVPerfTraceRecorderLinux::eventFormats().schedSwitchId() == QVPerfTraceEventFormatTable::kNoEvent) {
    return "no tracing events (debugfs/tracefs) here";
  }
  return std::string();
}

std::shared_ptr<QVSessionConfig> perfConfig(bool sched, bool syscalls) {
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
  config->timerConfig->interval = 0.001;
  config->schedTraceConfig->setEnabled(sched);
  config->syscallTraceConfig->setEnabled(syscalls);
  return config;
}

bool waitUntilInactive(const QVSessionRecorder& recorder, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (recorder.isActive()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string innermostSymbol(const QVAbstractCallStackTenure& sample) {
  std::vector<const QVAbstractCallFrame*> frames;
  sample.getFrames(frames);
  if (frames.empty() || !frames.front()) return std::string();
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frames.front()->symbol(range);
  return symbol ? symbol->name() : std::string();
}

TEST(QVPerfTraceRecorderLinuxTest, SamplesSchedulerAndSystemCallsOfAKnownWorkloadAtOnce) {
  const std::string why = perfUnavailable(true);
  if (!why.empty()) GTEST_SKIP() << why;
  QVPerfTraceRecorderLinux recorder(perfConfig(true, true));
  ASSERT_TRUE(recorder.start());

  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t child = QVProcessManager::defaultManager().spawn(
      "/proc/self/exe",
      {"--gtest_filter=QVPerfTraceRecorderWorkload.DISABLED_SleepWriteSpin", "--gtest_also_run_disabled_tests"},
      std::string(), quiet);
  ::close(quiet);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(recorder.stop());
  const std::shared_ptr<QVSessionProfile> profile = recorder.collect();
  ASSERT_TRUE(profile);

  // Samples: the child's time is spent spinning.
  ASSERT_TRUE(profile->callStackData());
  size_t childSamples = 0, inSpin = 0;
  for (const auto& sample : profile->callStackData()->samples()) {
    if (sample->context().asProcessId().nativeIdentifier() != child) continue;
    ++childSamples;
    if (innermostSymbol(*sample) == "qvPerfTestSpin") ++inSpin;
  }
  EXPECT_GT(childSamples, 20u);
  EXPECT_GT(inSpin * 2, childSamples) << inSpin << " of " << childSamples << " samples in qvPerfTestSpin";

  // Thread runs: the sleeper, named by perf's COMM record, ends a run with
  // a sleep at each nap.
  ASSERT_TRUE(profile->threadTenureData());
  std::map<int64_t, int> sleepsByThread;
  std::map<int64_t, std::string> names;
  for (const auto& run : profile->threadTenureData()->samples()) {
    const QVThreadId threadId = run->context().threadId();
    if (threadId.asProcessId().nativeIdentifier() != child) continue;
    EXPECT_LE(run->beginTick(), run->endTick());
    if (run->endReason() == QVAbstractThreadTenure::EndReasonSleep) ++sleepsByThread[threadId.nativeIdentifier()];
    if (const auto& thread = QVThread::threadWithId(threadId, false, false)) {
      names[threadId.nativeIdentifier()] = thread->name();
    }
  }
  bool sleeperSeen = false;
  for (const auto& entry : names) {
    if (entry.second != "qvsleeper") continue;
    sleeperSeen = true;
    EXPECT_GE(sleepsByThread[entry.first], kSleeps) << "tid " << entry.first;
  }
  EXPECT_TRUE(sleeperSeen);

  // System calls: every write of the loop, with its number and result.
  ASSERT_TRUE(profile->systemCallData());
  int writes = 0;
  for (const auto& call : profile->systemCallData()->samples()) {
    if (call->context().asProcessId().nativeIdentifier() != child) continue;
    EXPECT_LE(call->beginTick(), call->endTick());
    if (call->number() == kWriteNumber && static_cast<int64_t>(call->result()) == kWriteLength) ++writes;
  }
  EXPECT_EQ(kWrites, writes);

  for (const std::string& path : recorder.dataPaths()) EXPECT_FALSE(FileExists(path)) << path;
}

TEST(QVPerfTraceRecorderLinuxTest, PerfKilledDuringRecordingAbortsAndLeavesNoFiles) {
  const std::string why = perfUnavailable(false);
  if (!why.empty()) GTEST_SKIP() << why;
  QVPerfTraceRecorderLinux recorder(perfConfig(false, false));
  ASSERT_TRUE(recorder.start());
  const std::vector<std::string> paths = recorder.dataPaths();
  ASSERT_EQ(1u, paths.size());
  EXPECT_TRUE(FileExists(paths.front()));
  const pid_t perf = recorder.samplePid();
  ASSERT_GT(perf, 0);
  ASSERT_EQ(0, ::kill(perf, SIGKILL));

  // The process manager reports the exit on its own thread; an upper bound
  // only.
  ASSERT_TRUE(waitUntilInactive(recorder, 30.0));
  EXPECT_EQ(QVSessionRecorder::StopReasonAbort, recorder.stopReason());
  QVErrorManager ids;
  recorder.getSessionErrors(ids, false);
  EXPECT_TRUE(ids.testErrorId(QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly));
  EXPECT_NE(std::string::npos, recorder.perfExitMessage().find("killed by signal 9")) << recorder.perfExitMessage();
  std::ostringstream message;
  EXPECT_TRUE(recorder.getErrorMessage(message, QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly));
  EXPECT_EQ(0u, message.str().find("The perf process used to collect profiling data exited unexpectedly."));
  EXPECT_EQ(-1, recorder.samplePid());
  EXPECT_FALSE(FileExists(paths.front()));
  EXPECT_TRUE(recorder.dataPaths().empty());
  const std::shared_ptr<QVSessionProfile> profile = recorder.collect();
  EXPECT_TRUE(!profile || !profile->callStackData());
}

// The terminal's Ctrl-C reaches perf beside the recording program: perf
// finishes its file and dies of the signal it caught, and the stop that
// follows collects the file.
TEST(QVPerfTraceRecorderLinuxTest, PerfEndedByCtrlCKeepsItsSamples) {
  const std::string why = perfUnavailable(false);
  if (!why.empty()) GTEST_SKIP() << why;
  QVPerfTraceRecorderLinux recorder(perfConfig(false, false));
  ASSERT_TRUE(recorder.start());
  qvPerfTestSpin(0.2);
  const pid_t perf = recorder.samplePid();
  ASSERT_GT(perf, 0);
  ASSERT_EQ(0, ::kill(perf, SIGINT));
  siginfo_t info = {};
  ASSERT_EQ(0, ::waitid(P_PID, static_cast<id_t>(perf), &info, WEXITED | WNOWAIT));
  EXPECT_TRUE(recorder.isActive());
  EXPECT_TRUE(recorder.stop());
  QVErrorManager ids;
  recorder.getSessionErrors(ids, false);
  EXPECT_FALSE(ids.testErrorId(QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly));
  const std::shared_ptr<QVSessionProfile> profile = recorder.collect();
  ASSERT_TRUE(profile);
  ASSERT_TRUE(profile->callStackData());
  EXPECT_GT(profile->callStackData()->samples().size(), 10u);
}

TEST(QVPerfTraceRecorderLinuxTest, CommandLinesFollowTheConfiguration) {
  if (!perfUnavailable(false).empty()) GTEST_SKIP() << perfUnavailable(false);
  struct Case {
    double interval;
    std::vector<std::string> expected;  // empty: refused
  } cases[] = {
      // 900 ns is under perf's smallest sensible period; 1000 ns is taken.
      {0.0000009, {}},
      {0.000001, {"record", "-a", "-R", "-g", "-N", "-e", "cpu-clock", "-c", "1000", "-o", "P"}},
      {0.001, {"record", "-a", "-R", "-g", "-N", "-e", "cpu-clock", "-c", "1000000", "-o", "P"}},
  };
  for (const Case& c : cases) {
    auto config = perfConfig(false, false);
    config->timerConfig->interval = c.interval;
    QVPerfTraceRecorderLinux recorder(config);
    EXPECT_EQ(c.expected, recorder.sampleArguments("P")) << c.interval;
  }
  QVPerfTraceRecorderLinux recorder(perfConfig(true, true));
  EXPECT_EQ((std::vector<std::string>{"record", "-a", "-R", "-N", "-c", "1", "-e", "sched:sched_switch", "-o", "P"}),
            recorder.schedulerTraceArguments("P"));
  // Each tracepoint carries its own filter; today's perf leaves out its own
  // calls by itself, older perf gets the pid filter.
  const std::vector<std::string> syscalls = recorder.syscallTraceArguments("P");
  const std::string own = "--filter=common_pid!=" + std::to_string(::getpid());
  const std::string old = "--filter=(common_pid!=%PID%&&common_pid!=" + std::to_string(::getpid()) + ")";
  const auto enter = std::find(syscalls.begin(), syscalls.end(), "raw_syscalls:sys_enter");
  const auto exit = std::find(syscalls.begin(), syscalls.end(), "raw_syscalls:sys_exit");
  ASSERT_NE(syscalls.end(), enter);
  ASSERT_NE(syscalls.end(), exit);
  for (auto event : {enter, exit}) {
    ASSERT_LT(event + 1, syscalls.end());
    EXPECT_TRUE(event[1] == own || event[1] == old) << event[1];
    if (event[1] == own) {
      EXPECT_EQ("--exclude-perf", event[2]);
    }
  }
  EXPECT_EQ("P", syscalls.back());
}

TEST(QVProfileDriverLinuxPerfTest, DebugfsIsFoundWhereverItIsMountedAndEventListsKeepHardwareAndSoftware) {
  struct Case {
    const char* mounts;
    bool mounted;
  };
  const Case cases[] = {
      {"none /mnt/dbg debugfs rw 0 0\n", true},
      {"proc /proc proc rw,relatime 0 0\nnone /sys/kernel/debug debugfs rw,relatime 0 0\n", true},
      {"debugfs /sys/kernel/debug debugfs rw", true},  // dump and pass fields are optional
      {"# none /mnt/dbg debugfs rw 0 0\n", false},
      {"tracefs /sys/kernel/tracing tracefs rw 0 0\n", false},
      {"none debugfs\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVProfileDriverLinuxPerf::isDebugfsMountedIn(c.mounts), c.mounted) << c.mounts;
  }

  // perf's event list: hardware and software events are kept.
  const std::string listing =
      "List of pre-defined events (to be used in -e):\n"
      "  cpu-cycles OR cycles                               [Hardware event]\n"
      "  L1-dcache-loads                                    [Hardware cache event]\n"
      "  cpu-clock                                          [Software event]\n"
      "  sched:sched_switch                                 [Tracepoint event]\n"
      "  rNNN                                               [Raw hardware event descriptor]\n"
      "\n";
  const std::vector<QVPerfMonEventId> events = QVProfileDriverLinuxPerf::parseEventList(listing);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].identifier(), "cpu-cycles");
  EXPECT_EQ(events[0].group(), "Hardware");
  EXPECT_EQ(events[1].group(), "Hardware cache");
  EXPECT_EQ(events[2].identifier(), "cpu-clock");
  EXPECT_EQ(events[2].group(), "Software");
}

// The real perf tool of this machine: the driver must find it, mount
// debugfs, and list cpu-clock. Without a PMU the timer trigger is refused
// up front and the generic cycles event maps to nothing.
TEST(QVProfileDriverLinuxPerfTest, RealPerfLoadsAndReportsWhatItFound) {
  auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  if (driver->perfBinaryPath().empty()) GTEST_SKIP() << "perf is not installed or does not run";
  if (!driver->isAvailable()) GTEST_SKIP() << "the kernel offers no perf events";
  ASSERT_TRUE(driver->load({}));
  if (!driver->init()) GTEST_SKIP() << "debugfs cannot be mounted here (not root?)";
  EXPECT_TRUE(driver->isFilterSupported());
  EXPECT_FALSE(driver->needsForceOverwriteFlag());
  EXPECT_TRUE(driver->schedTraceSupported());
  EXPECT_EQ(driver->events().count(QVPerfMonEventId("cpu-clock", "cpu-clock", "Software")), 1u);

  auto timer = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
  driver->setConfig(timer);
  QVErrorManager errors;
  driver->getConfigErrors(errors, false);
  const bool hasCycles = !driver->perfEventFor(EVENT_ID_CPU_CYCLES).identifier().empty();
  EXPECT_EQ(errors.testErrorId(QVProfileDriverErrorTriggerNotAvailable), !hasCycles);

  auto event = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerEvent);
  event->eventConfig = std::make_shared<QVEventProfileConfig>();
  event->eventConfig->triggerEvent = EVENT_ID_CPU_CYCLES;
  driver->setConfig(event);
  EXPECT_EQ(driver->triggerEvent(), driver->perfEventFor(EVENT_ID_CPU_CYCLES));
  event->eventConfig->triggerEvent = QVPerfMonEventId("cpu-clock", "cpu-clock", "Software");
  EXPECT_EQ(driver->triggerEvent().identifier(), "cpu-clock");
  driver->setConfig(nullptr);
  EXPECT_EQ(driver->triggerEvent(), EVENT_ID_NULL);
}

}  // namespace

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

TEST(QVPerfTraceEventFormatTest, FieldLinesParseWithAndWithoutSignedPartOrThrow) {
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
  // A malformed field and a missing file throw.
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
  // All three found is the decoder tests' fixture below.
  const Case cases[] = {
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
  const std::string bytes = test::ReadWholeFile(golden + "tiny-sys.data");
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
