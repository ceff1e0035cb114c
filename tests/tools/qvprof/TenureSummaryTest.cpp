#include "TenureSummary.h"

#include <gtest/gtest.h>

#include <sstream>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "ScriptCommand.h"
#include "SessionSamples.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "SyscallNames.h"

namespace Quorvel {
namespace qvprof {
namespace {

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
