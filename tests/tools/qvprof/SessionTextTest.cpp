#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "export/QVContextText.h"
#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "InfoCommand.h"
#include "RecordCommand.h"
#include "RecordingProperties.h"
#include "ReportCommand.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "ScriptCommand.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "SessionSamples.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"
#include "SyscallNames.h"
#include "TenureSummary.h"

// Functions of this test program that the synthetic samples point into, so
// that every frame resolves through the real process model: one C name and
// one C++ name (which the output must show demangled).
extern "C" __attribute__((noinline, used)) int qvprof_text_outer(int x) {
  asm volatile("" ::: "memory");
  return x + 1;
}
extern "C" __attribute__((noinline, used)) int qvprof_text_leaf_one(int x) {
  asm volatile("" ::: "memory");
  return x + 2;
}
extern "C" __attribute__((noinline, used)) int qvprof_text_leaf_two(int x) {
  asm volatile("" ::: "memory");
  return x + 3;
}
namespace qvproftext {
__attribute__((noinline, used)) int middleFrame(int x) {
  asm volatile("" ::: "memory");
  return x + 4;
}
}  // namespace qvproftext

namespace Quorvel {
namespace qvprof {
namespace {

uint64_t Inside(int (*function)(int)) { return test::SyntheticSession::inside(function); }

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// A session of this process: four samples of the main thread, written to a
// file and read back the way qvprof reads any session.
//   ticks 3000, 1000, 2000: outer <- middleFrame <- leaf_one  (archived out of time order)
//   tick 4000:              outer <- middleFrame <- leaf_two
// so by symbol the tree view has outer and middleFrame at 100%, leaf_one at
// 75% and leaf_two at 25%.
class SessionTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::SyntheticSession session(2);
    threadId_ = session.context().threadId();
    const std::vector<uint64_t> one =
        test::SyntheticSession::inside({qvprof_text_leaf_one, qvproftext::middleFrame, qvprof_text_outer});
    const std::vector<uint64_t> two =
        test::SyntheticSession::inside({qvprof_text_leaf_two, qvproftext::middleFrame, qvprof_text_outer});
    session.sample(2000, 3000, one);
    session.sample(0, 1000, one);
    session.sample(1000, 2000, one);
    session.sample(3000, 4000, two);
    auto profile = session.profile(0, 5000, "2026-12-05 10:00:00", 2500000);
    profile->mutableProperties().setString(RecordingProperties::StopReason, "user");
    profile->mutableProperties().setString(QVSessionProfile::KeyProfileDriverName, "process");
    QVSessionFile::write(*profile, path_);
  }

  std::string Script() {
    std::ostringstream out;
    ScriptCommand::writeScript(out, SessionSamples(path_));
    return out.str();
  }

  std::string Report(const ReportCommand::Options& options) {
    std::ostringstream out;
    EXPECT_TRUE(ReportCommand::writeReport(out, SessionSamples(path_), options));
    return out.str();
  }

  QVThreadId threadId_;
  test::ScratchDirectory scratch_{"qvproftext"};
  std::string path_ = scratch_.file("text.qvprof");
};

TEST_F(SessionTextTest, ScriptWritesOneBlockPerSampleInTimeOrderWithResolvedFrames) {
  const std::string script = Script();
  const std::string exe = OwnExecutable();
  const std::string header = QVContextText::commandName(threadId_) + " " + std::to_string(getpid()) + "/" +
                             std::to_string(threadId_.nativeIdentifier()) + " [002] ";
  auto frame = [](uint64_t address, const std::string& symbol, const std::string& module) {
    std::ostringstream line;
    line << '\t' << std::hex << address << ' ' << symbol << "+0x1 (" << module << ")\n";
    return line.str();
  };
  const std::string one = frame(Inside(qvprof_text_leaf_one), "qvprof_text_leaf_one", exe) +
                          frame(Inside(qvproftext::middleFrame), "qvproftext::middleFrame(int)", exe) +
                          frame(Inside(qvprof_text_outer), "qvprof_text_outer", exe);
  const std::string two = frame(Inside(qvprof_text_leaf_two), "qvprof_text_leaf_two", exe) +
                          frame(Inside(qvproftext::middleFrame), "qvproftext::middleFrame(int)", exe) +
                          frame(Inside(qvprof_text_outer), "qvprof_text_outer", exe);
  // Stamps are the end ticks (nanoseconds) as seconds and microseconds.
  EXPECT_EQ(header + "0.000001\n" + one + "\n" + header + "0.000002\n" + one + "\n" + header + "0.000003\n" + one +
                "\n" + header + "0.000004\n" + two + "\n",
            script);
}

// One sample with a 50,000-frame stack (a runaway recursion): every view
// walks it without running out of the thread's stack (30,000 frames used to
// overflow the recursive printer), and the tree shows every level.
TEST_F(SessionTextTest, AStackOf50000FramesGoesThroughEveryView) {
  const size_t kFrames = 50000;
  std::vector<uint64_t> deep(kFrames, Inside(qvproftext::middleFrame));
  deep.front() = Inside(qvprof_text_leaf_one);
  deep.back() = Inside(qvprof_text_outer);
  test::SyntheticSession session(0);
  session.sample(0, 1000, deep);
  const auto profile = session.profile(0, 1000, "2026-12-05 10:00:00", 1000000);
  QVSessionFile::write(*profile, path_);

  const std::string script = Script();
  EXPECT_EQ(kFrames + 2, static_cast<size_t>(std::count(script.begin(), script.end(), '\n')))
      << "one line per frame, the header and the blank line after the block";
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    for (QVCallTree::Granularity granularity :
         {QVCallTree::address, QVCallTree::symbol, QVCallTree::module, QVCallTree::file, QVCallTree::line}) {
      ReportCommand::Options options;
      options.topology = topology;
      options.granularity = granularity;
      options.minPercent = 0;
      const std::string report = Report(options);
      // Address and symbol keep every level; module, file and line may merge
      // a run of frames into one node, which is still printed.
      const size_t nodes = static_cast<size_t>(std::count(report.begin(), report.end(), '%')) / 2;
      if (granularity == QVCallTree::address || granularity == QVCallTree::symbol) {
        EXPECT_EQ(kFrames, nodes) << topology << "/" << granularity;
        EXPECT_NE(std::string::npos, report.find("[49999] ")) << "deep lines name their depth";
      } else {
        EXPECT_GE(nodes, 1u) << topology << "/" << granularity;
      }
    }
  }
}

TEST_F(SessionTextTest, ReportViewsMinPercentAndGranularitiesShowWhatTheySay) {
  ReportCommand::Options options;
  const std::string report = Report(options);
  const std::string exeName = OwnExecutable().substr(OwnExecutable().rfind('/') + 1);
  EXPECT_NE(std::string::npos, report.find("Call tree: 4 samples, 1 thread of 1 process, tree view by symbol\n"))
      << report;
  // Depth shows as two blanks a level after the four number columns;
  // callers above callees, the heaviest first.
  const std::string expected =
      "100.00%   0.00%         4         0  qvprof_text_outer (" + exeName + ")\n" +
      "100.00%   0.00%         4         0    qvproftext::middleFrame(int) (" + exeName + ")\n" +
      " 75.00%  75.00%         3         3      qvprof_text_leaf_one (" + exeName + ")\n" +
      " 25.00%  25.00%         1         1      qvprof_text_leaf_two (" + exeName + ")\n";
  EXPECT_NE(std::string::npos, report.find(expected)) << report;

  // --min-percent hides light nodes and says so.
  ReportCommand::Options light;
  light.minPercent = 50.0;
  const std::string hidden = Report(light);
  EXPECT_NE(std::string::npos, hidden.find("qvprof_text_leaf_one")) << hidden;
  EXPECT_EQ(std::string::npos, hidden.find("qvprof_text_leaf_two")) << hidden;
  EXPECT_NE(std::string::npos, hidden.find("\n1 node under 50% hidden (--min-percent 0 shows all).\n")) << hidden;

  options = ReportCommand::Options();
  options.granularity = QVCallTree::module;
  const std::string byModule = Report(options);
  // Every frame lies in this program: one node with all samples, the
  // sampled frame at its own level each time.
  EXPECT_NE(std::string::npos, byModule.find("100.00%   0.00%         4         0  " + OwnExecutable() + "\n"))
      << byModule;

  // This program has line information: the outermost frame's line, named
  // with its function.
  options.granularity = QVCallTree::line;
  const std::string byLine = Report(options);
  const std::string outerRow = "\n100.00%   0.00%         4         0  ";
  const size_t row = byLine.find(outerRow);
  ASSERT_NE(std::string::npos, row) << byLine;
  const std::string label = byLine.substr(row + outerRow.size(), byLine.find('\n', row + 1) - row - outerRow.size());
  EXPECT_NE(std::string::npos, label.find("SessionTextTest.cpp:")) << label;
  EXPECT_EQ(label.size() - std::string(" (qvprof_text_outer)").size(), label.rfind(" (qvprof_text_outer)")) << label;

  options.granularity = QVCallTree::address;
  const std::string byAddress = Report(options);
  std::ostringstream outer;
  outer << "0x" << std::hex << Inside(qvprof_text_outer) << " qvprof_text_outer+0x1 (";
  EXPECT_NE(std::string::npos, byAddress.find(outer.str())) << byAddress;
}

TEST_F(SessionTextTest, InfoDescribesSpanStopReasonProcessesThreadsAbsurdTimesAndEmptySessions) {
  std::ostringstream out;
  InfoCommand::writeInfo(out, SessionSamples(path_));
  const std::string info = out.str();
  for (const std::string& line :
       {std::string("Started:       2026-12-05 10:00:00 UTC\n"), std::string("Ended:         2026-12-05 10:00:02.500000 UTC\n"),
        std::string("Duration:      2.500 s\n"), std::string("Stop reason:   user\n"), std::string("Driver:        process\n"),
        std::string("Samples:       4 call stacks\n"), "Processes:     1\n  pid " + std::to_string(getpid()),
        "Threads:       1\n  tid " + std::to_string(threadId_.nativeIdentifier()), std::string("         4 samples  ")}) {
    EXPECT_NE(std::string::npos, info.find(line)) << line << "\n" << info;
  }

  // Numbers from a hostile or damaged file print as what they are: an interval
  // of 1e308 s and an end before the start.
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  config->timerConfig->interval = 1e308;
  QVSessionProfile profile(config, boost::posix_time::time_from_string("2026-12-05 10:00:02"),
                           boost::posix_time::time_from_string("2026-12-05 10:00:00"), false, true);
  QVSessionFile::write(profile, path_);
  std::ostringstream absurd;
  InfoCommand::writeInfo(absurd, SessionSamples(path_));
  EXPECT_NE(std::string::npos, absurd.str().find("every 2.78e+304 hr")) << absurd.str();
  EXPECT_NE(std::string::npos, absurd.str().find("Duration:      unknown (the end precedes the start)\n"))
      << absurd.str();

  // A session without times or call stacks: no blocks, no report, zero
  // counts.
  QVSessionProfile empty(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser),
                         boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  QVSessionFile::write(empty, path_);
  const SessionSamples session(path_);
  std::ostringstream script;
  ScriptCommand::writeScript(script, session);
  EXPECT_EQ("", script.str());
  std::ostringstream report;
  EXPECT_FALSE(ReportCommand::writeReport(report, session, ReportCommand::Options()));
  std::ostringstream nothing;
  InfoCommand::writeInfo(nothing, session);
  EXPECT_NE(std::string::npos, nothing.str().find("Started:       unknown\n")) << nothing.str();
  EXPECT_NE(std::string::npos, nothing.str().find("Samples:       0 call stacks\nProcesses:     0\n")) << nothing.str();
  EXPECT_EQ(std::string::npos, nothing.str().find("Stop reason")) << "qvprof did not record this one";
}

TEST_F(SessionTextTest, RecordRateComparesStacksAskedForWithStacksTaken) {
  // Two stacks a tick (two contexts), at the ticks given, over 0.1 s with
  // a 1 ms interval: 2000 stacks a second asked for.
  auto profileWithTicks = [this](int ticks) {
    const std::vector<uint64_t> stack = {Inside(qvprof_text_leaf_one), Inside(qvprof_text_outer)};
    auto stacks = std::make_shared<QVUniqueCallStackTenureArchiver>();
    for (int tick = 1; tick <= ticks; ++tick) {
      const uint64_t end = static_cast<uint64_t>(tick) * 1000000u;
      stacks->archive(QVContext::uniqueContext(threadId_, 0, QVContext::StateUser), end - 1000000u, end, stack);
      stacks->archive(QVContext::uniqueContext(threadId_, 1, QVContext::StateUser), end - 1000000u, end, stack);
    }
    auto profile = std::make_shared<QVSessionProfile>(nullptr, boost::posix_time::ptime(),
                                                      boost::posix_time::ptime(), false, true);
    profile->setCallStackData(std::make_shared<QVSessionDataCallStackTenures>(stacks));
    return profile;
  };

  // Without samples there is nothing to judge: not behind.
  const struct {
    int ticks;
    double asked, taken;
    bool fellBehind;
  } cases[] = {{5, 2000.0, 100.0, true}, {100, 2000.0, 2000.0, false}, {0, 0.0, 0.0, false}};
  for (const auto& c : cases) {
    const RecordCommand::Rate rate = RecordCommand::rateOf(*profileWithTicks(c.ticks), 0.001, 0.1);
    EXPECT_DOUBLE_EQ(c.asked, rate.askedPerSecond) << c.ticks;
    EXPECT_DOUBLE_EQ(c.taken, rate.takenPerSecond) << c.ticks;
    EXPECT_EQ(c.fellBehind, rate.fellBehind) << c.ticks;
  }
}

// The off-CPU and system-call tables of sessions that carry thread and
// system-call tenures, and the script lines of those tenures.
using Reason = QVAbstractThreadTenure::EndReason;
constexpr uint64_t kMs = 1000000;  // ticks are nanoseconds

QVThreadId threadOf(int pid, int tid) {
  const QVProcessId process = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, 1);
  return QVThreadId::uniqueThreadId(process, tid, 1);
}

struct Run {
  int pid, tid;
  uint64_t begin, end;
  Reason reason;
};
struct Call {
  int pid, tid;
  uint64_t begin, end;
  int number;
  int64_t result;
};

std::shared_ptr<QVSessionProfile> profileWith(const std::vector<Run>& runs, const std::vector<Call>& calls) {
  auto profile = std::make_shared<QVSessionProfile>(nullptr, boost::posix_time::ptime(), boost::posix_time::ptime(),
                                                    false, true);
  auto threads = std::make_shared<QVThreadTenureArchiver>();
  for (const Run& run : runs) {
    threads->archive(QVContext::uniqueContext(threadOf(run.pid, run.tid), 1, QVContext::StateSupervisor), run.begin,
                     run.end, run.reason, 120);
  }
  auto syscalls = std::make_shared<QVSystemCallTenureArchiver>();
  for (const Call& call : calls) {
    syscalls->archive(QVContext::uniqueContext(threadOf(call.pid, call.tid), 0, QVContext::StateUser), call.begin,
                      call.end, call.number, {});
    syscalls->samples().back()->setResult(static_cast<uint64_t>(call.result));
  }
  if (!runs.empty()) profile->setThreadTenureData(std::make_shared<QVSessionDataThreadTenures>(threads));
  if (!calls.empty()) profile->setSystemCallData(std::make_shared<QVSessionDataSystemCallTenures>(syscalls));
  return profile;
}

// Thread 11 of process 10 waits 20 ms after a sleep, 5 ms after being
// preempted and 10 ms after a run of unknown end; thread 12 runs back to
// back; the idle task and process 20 are there to be left out.
const std::vector<Run> kRuns = {
    {10, 11, 0, 10 * kMs, Reason::EndReasonSleep},      {10, 11, 30 * kMs, 40 * kMs, Reason::EndReasonPreempted},
    {10, 11, 45 * kMs, 50 * kMs, Reason::EndReasonUnknown}, {10, 11, 60 * kMs, 70 * kMs, Reason::EndReasonExit},
    {10, 12, 0, 100 * kMs, Reason::EndReasonPreempted},  {10, 12, 100 * kMs, 200 * kMs, Reason::EndReasonSleep},
    {0, 0, 10 * kMs, 30 * kMs, Reason::EndReasonPreempted}, {0, 0, 90 * kMs, 95 * kMs, Reason::EndReasonPreempted},
    {20, 21, 0, kMs, Reason::EndReasonSleep},           {20, 21, 500 * kMs, 501 * kMs, Reason::EndReasonSleep},
};

TEST(TenureSummaryTest, OffCpuTimeIsTheGapBetweenRunsByWhyTheEarlierEnded) {
  const auto profile = profileWith(kRuns, {});
  const struct {
    int64_t processId;
    std::vector<int64_t> tids;  // heaviest first
  } cases[] = {{-1, {21, 11, 12}}, {10, {11, 12}}, {30, {}}};
  for (const auto& c : cases) {
    const auto threads = TenureSummary::offCpu(*profile, c.processId);
    std::vector<int64_t> tids;
    for (const auto& thread : threads) tids.push_back(thread.threadId.nativeIdentifier());
    EXPECT_EQ(c.tids, tids) << c.processId;
  }
  const auto threads = TenureSummary::offCpu(*profile, 10);
  ASSERT_EQ(2u, threads.size());
  EXPECT_EQ(35 * kMs, threads[0].total);
  EXPECT_EQ(20 * kMs, threads[0].byReason[Reason::EndReasonSleep]);
  EXPECT_EQ(5 * kMs, threads[0].byReason[Reason::EndReasonPreempted]);
  EXPECT_EQ(10 * kMs, threads[0].byReason[Reason::EndReasonUnknown]);
  EXPECT_EQ(3u, threads[0].switches);
  EXPECT_EQ(0u, threads[1].total);

  std::ostringstream out;
  EXPECT_TRUE(TenureSummary::writeOffCpu(out, *profile, 10, 1));
  EXPECT_NE(std::string::npos, out.str().find("35.000      20.000         5.000     10.000         3  [unknown] 10/11"))
      << out.str();
  EXPECT_NE(std::string::npos, out.str().find("(1 more threads)")) << out.str();
  EXPECT_FALSE(TenureSummary::writeOffCpu(out, *profileWith({}, {}), -1, 10));
}

TEST(TenureSummaryTest, SystemCallsGroupByNumberWithTimesAndErrors) {
  const auto profile = profileWith({}, {
                                           {10, 11, 0, 1000, 1, 5},
                                           {10, 11, 2000, 4000, 1, -9},     // EBADF
                                           {10, 12, 5000, 8000, 1, 5},
                                           {10, 11, 10000, 20000, 0, -4096},  // not an error number
                                           {20, 21, 0, 50000, 0, 0},
                                       });
  const auto calls = TenureSummary::systemCalls(*profile, 10);
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(0, calls[0].number);
  EXPECT_EQ(10000u, calls[0].totalTicks);
  EXPECT_EQ(0u, calls[0].errors);
  EXPECT_EQ(1, calls[1].number);
  EXPECT_EQ(3u, calls[1].calls);
  EXPECT_EQ(6000u, calls[1].totalTicks);
  EXPECT_EQ(1u, calls[1].errors);

  std::ostringstream out;
  EXPECT_TRUE(TenureSummary::writeSystemCalls(out, *profile, 10,
                                              SyscallNames::fromHeader("#define __NR_read 0\n#define __NR_write 1\n"),
                                              10));
  EXPECT_NE(std::string::npos, out.str().find("          3       0.006         2.000         1  write")) << out.str();
  EXPECT_NE(std::string::npos, out.str().find("          1       0.010        10.000         0  read")) << out.str();
}

TEST(TenureSummaryTest, SyscallNamesComeFromTheKernelHeaderElseTheNumber) {
  const SyscallNames names = SyscallNames::fromHeader(
      "#ifndef _ASM_UNISTD_64_H\n#define __NR_read 0\n#define __NR_write 1\n#define __NR3264_fadvise64 221\n"
      "#define __NR_bogus x1\n#define __NR_exit 60\n");
  const std::pair<int, std::string> cases[] = {
      {0, "read"}, {1, "write"}, {60, "exit"}, {221, "syscall_221"}, {-1, "syscall_-1"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, names.name(c.first)) << c.first;
  EXPECT_EQ(3u, names.size());
  // Every machine that builds this project has the kernel's header.
  if (SyscallNames::machine().size() == 0) GTEST_SKIP() << "no unistd_64.h here";
  EXPECT_EQ("write", SyscallNames::machine().name(1));
  EXPECT_EQ("clock_nanosleep", SyscallNames::machine().name(230));
}

TEST(TenureSummaryTest, ScriptInterleavesThreadRunsAndSystemCallsInTimeOrder) {
  const auto profile =
      profileWith({{10, 11, 0, 10 * kMs, Reason::EndReasonSleep}, {10, 11, 30 * kMs, 40 * kMs, Reason::EndReasonExit}},
                  {{10, 11, 20 * kMs, 25 * kMs, 1, 7}, {20, 21, 0, kMs, 0, 0}});
  std::ostringstream out;
  ScriptCommand::writeScript(out, SessionSamples(profile), 10);
  EXPECT_EQ("[unknown] 10/11 [001] 0.010000: sched: ran 10.000 ms, then Sleep\n"
            "[unknown] 10/11 [000] 0.025000: syscall " +
                SyscallNames::machine().name(1) +
                "(1) = 7, 5.000 ms\n"
                "[unknown] 10/11 [001] 0.040000: sched: ran 10.000 ms, then Exit\n",
            out.str());
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
