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
#include <map>
#include <sstream>
#include <thread>

#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
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
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"

using namespace Quorvel;

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

TEST(QVProfileDriverLinuxPerfTest, DebugfsIsFoundWhereverItIsMounted) {
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
}

TEST(QVProfileDriverLinuxPerfTest, EventListKeepsHardwareAndSoftwareEvents) {
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
