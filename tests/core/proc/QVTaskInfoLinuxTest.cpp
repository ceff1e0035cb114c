#include <gtest/gtest.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>

#include "proc/QVTaskInfoLinux.h"
#include "support/ChildProbe.h"
#include "support/FakeProcTree.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::FakeProcTree;

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;

uint64_t nowNanosSinceEpoch() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

uint64_t clockTicks() { return static_cast<uint64_t>(::sysconf(_SC_CLK_TCK)); }

// The name the child gives itself: a ") " inside it defeats parsers that
// stop at the first closing parenthesis, and it fits the kernel's 15
// characters.
constexpr const char* kChildName = "qv child) x";

// A child of this process named kChildName, with a second thread, running
// until its input is closed; when it was forked and when it was ready.
struct NamedChild {
  uint64_t forkTime = nowNanosSinceEpoch();
  test::ChildProbe probe{QV_DISCOVERY_PROBE_G, {kChildName}};
  bool started = probe.start();
  uint64_t readyTime = nowNanosSinceEpoch();
  pid_t pid() const { return probe.pid(); }
  int64_t secondThread() const { return probe.value("thread"); }
};

// The first 20 bytes of an ELF executable: e_ident with its class (1 for
// 32-bit, 2 for 64-bit) and data encoding (1 little-, 2 big-endian), then
// e_type 2 and e_machine, both in that encoding.
std::string elfHead(char elfClass, char encoding, uint16_t machine) {
  std::string head("\x7f" "ELF", 4);
  head += std::string{elfClass, encoding, 1};
  head += std::string(9, '\0');
  const char type[2] = {encoding == 1 ? '\x02' : '\0', encoding == 1 ? '\0' : '\x02'};
  const char lo = static_cast<char>(machine & 0xff), hi = static_cast<char>(machine >> 8);
  head += std::string(type, 2);
  head += encoding == 1 ? std::string{lo, hi} : std::string{hi, lo};
  return head;
}

std::unordered_set<int64_t> nativeIds(const std::unordered_set<QVThreadId>& ids) {
  std::unordered_set<int64_t> natives;
  for (const QVThreadId& id : ids) {
    natives.insert(id.nativeIdentifier());
  }
  return natives;
}

}  // namespace

TEST(QVTaskInfoLinuxLive, ThisProcessAndItsIds) {
  QVTaskInfoLinux info(::getpid());
  ASSERT_TRUE(info.isValid());
  EXPECT_EQ(info.nativeIdentifier(), ::getpid());
  EXPECT_EQ(info.threadGroupId(), ::getpid());
  EXPECT_EQ(info.ppid(), ::getppid());
  EXPECT_EQ(info.executable(), std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_EQ(info.architecture(), LocalMachineArchitecture());
  std::string comm;
  ASSERT_TRUE(FileReadString("/proc/self/comm", comm));
  EXPECT_EQ(info.name() + "\n", comm);

  QVTaskInfoLinux::ProcStatValues stat = info.procStatValues();
  EXPECT_EQ(stat.integer(QVTaskInfoLinux::ProcStatValues::Pid), static_cast<uint64_t>(::getpid()));
  EXPECT_EQ(stat.integer(QVTaskInfoLinux::ProcStatValues::PPid), static_cast<uint64_t>(::getppid()));
  EXPECT_GT(stat.integer(QVTaskInfoLinux::ProcStatValues::MinorFaults), 0u);
  EXPECT_GE(stat.real(QVTaskInfoLinux::ProcStatValues::UserTime), 0.0);
  QVTaskInfoLinux::ProcStatusValues status = info.procStatusValues();
  EXPECT_EQ(status.integer(QVTaskInfoLinux::ProcStatusValues::Tgid), static_cast<uint64_t>(::getpid()));
  EXPECT_EQ(status.integer(QVTaskInfoLinux::ProcStatusValues::Uid), ::getuid());
  EXPECT_GT(status.integer(QVTaskInfoLinux::ProcStatusValues::VmRSS), 0u);
  // The test binary links libstdc++ and gtest dynamically.
  EXPECT_GT(status.integer(15), 0u);
  EXPECT_GE(status.threadCount(), 1);

  // Its ids are listed.
  QVProcessId self = QVProcessIdFromNativeIdentifier(::getpid());
  ASSERT_TRUE(self.isValid());
  EXPECT_EQ(self.nativeIdentifier(), ::getpid());
  EXPECT_EQ(self.asSystemId(), QVSystemId::currentSystemId());

  std::unordered_set<QVProcessId> processes;
  processes.insert(QVProcessId());  // cleared because append is false
  QVTaskInfoLinux::getProcessIds(processes, false);
  EXPECT_EQ(processes.count(self), 1u);
  EXPECT_EQ(processes.count(QVProcessId()), 0u);
}

TEST(QVTaskInfoLinuxLive, NoSuchTask) {
  // Beyond pid_max (at most 2^22), so never a live task.
  constexpr int kImpossiblePid = 1 << 30;
  QVTaskInfoLinux info(kImpossiblePid);
  // valid, running, name, executable, real user, start time, architecture, refreshed
  EXPECT_EQ(std::make_tuple(info.isValid(), info.isRunning(), info.name(), info.executable(), info.realUID(),
                            info.startTime(), info.architecture(), info.refresh()),
            std::make_tuple(false, false, std::string(), std::string(), QVTaskInfoLinux::kUnknownUID, uint64_t{0},
                            LocalMachineArchitecture(), false));
  EXPECT_FALSE(QVProcessIdFromNativeIdentifier(kImpossiblePid).isValid());
  EXPECT_FALSE(QVProcessIdFromNativeIdentifier(0).isValid());
  EXPECT_FALSE(QVProcessIdFromNativeIdentifier(-1).isValid());
  EXPECT_FALSE(QVThreadIdFromNativeIdentifier(::getpid(), kImpossiblePid).isValid());
}

TEST(QVTaskInfoLinuxLive, KernelThreadHasNoExecutable) {
  QVTaskInfoLinux info(2);
  if (!info.isValid() || info.name() != "kthreadd") {
    GTEST_SKIP() << "pid 2 is not kthreadd here (no /proc/2, or a pid namespace)";
  }
  EXPECT_TRUE(info.executable().empty());
  EXPECT_EQ(info.ppid(), 0);
  EXPECT_EQ(info.architecture(), LocalMachineArchitecture());
  EXPECT_TRUE(info.isRunning());
  // A kernel thread's status has no memory lines.
  EXPECT_EQ(info.procStatusValues().integer(QVTaskInfoLinux::ProcStatusValues::VmSize), 0u);
  EXPECT_EQ(info.procStatusValues().integer(QVTaskInfoLinux::ProcStatusValues::VmLib), 0u);
  EXPECT_EQ(info.procStatusValues().threadCount(), 1);
}

TEST(QVTaskInfoLinuxLive, ForkedChildWithParenthesisInItsNameThenAsZombieAndReaped) {
  NamedChild child;
  ASSERT_TRUE(child.started);

  QVTaskInfoLinux info(child.pid());
  ASSERT_TRUE(info.isValid());
  EXPECT_EQ(info.name(), kChildName);
  EXPECT_EQ(info.ppid(), ::getpid());
  EXPECT_EQ(info.realUID(), ::getuid());
  char probePath[PATH_MAX];
  ASSERT_NE(nullptr, ::realpath(QV_DISCOVERY_PROBE_G, probePath));
  EXPECT_EQ(info.executable(), probePath);
  EXPECT_TRUE(info.isRunning());
  // The child started between the fork and its report. The boot time in
  // /proc/stat is truncated to whole seconds, so a start time built on it
  // lies up to a second early, and the start is counted in whole clock
  // ticks, one more tick early at most.
  const uint64_t tick = kNanosPerSecond / clockTicks();
  EXPECT_GE(info.startTime() + kNanosPerSecond + tick, child.forkTime);
  EXPECT_LE(info.startTime(), child.readyTime);

  QVProcessId processId = QVProcessIdFromNativeIdentifier(child.pid());
  ASSERT_TRUE(processId.isValid());
  EXPECT_EQ(processId.order(), info.startTime());

  // Instrumented builds may run threads of their own in the child, so the
  // started threads are looked for by tid and the count is only checked
  // against what status says.
  std::unordered_set<QVThreadId> threads;
  QVTaskInfoLinux::getThreadIdsForProcess(processId, threads, false);
  std::unordered_set<int64_t> tids = nativeIds(threads);
  EXPECT_EQ(tids.count(child.pid()), 1u);
  EXPECT_EQ(tids.count(child.secondThread()), 1u) << child.secondThread();
  EXPECT_GE(threads.size(), 2u);
  EXPECT_EQ(static_cast<std::size_t>(info.procStatusValues().threadCount()), threads.size());
  EXPECT_EQ(info.procStatusValues().int32At(36), info.procStatusValues().threadCount());

  for (const QVThreadId& thread : threads) {
    EXPECT_EQ(thread.asProcessId(), processId);
    EXPECT_EQ(thread, QVThreadIdFromNativeIdentifier(child.pid(), static_cast<int>(thread.nativeIdentifier())));
  }
  {
    // A thread's own /proc folder serves it, though /proc does not list it.
    const int64_t tid = child.secondThread();
    QVTaskInfoLinux threadInfo(tid);
    ASSERT_TRUE(threadInfo.isValid());
    EXPECT_EQ(threadInfo.threadGroupId(), child.pid());
    EXPECT_EQ(threadInfo.name(), kChildName);
    EXPECT_TRUE(threadInfo.isRunning());
    EXPECT_GE(threadInfo.startTime(), info.startTime());
    EXPECT_FALSE(QVProcessIdFromNativeIdentifier(static_cast<int>(tid)).isValid());
    EXPECT_FALSE(QVThreadIdFromNativeIdentifier(::getpid(), static_cast<int>(tid)).isValid());
  }

  // Appending keeps what was there.
  std::unordered_set<QVThreadId> both;
  QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(::getpid()), both, false);
  const std::size_t own = both.size();
  QVTaskInfoLinux::getThreadIdsForProcess(processId, both, true);
  EXPECT_EQ(both.size(), own + threads.size());

  // The same child, exited: neither a zombie nor a reaped child is running.
  // Told to exit, and waited for without reaping, so the child stays a zombie.
  child.probe.closeInput();
  siginfo_t exited{};
  ::waitid(P_PID, static_cast<id_t>(child.pid()), &exited, WEXITED | WNOWAIT);
  // Exited but not reaped: /proc/<pid> is still there with state Z.
  EXPECT_TRUE(DirectoryExists("/proc/" + std::to_string(child.pid())));
  EXPECT_FALSE(info.isRunning());
  EXPECT_FALSE(QVProcessIdFromNativeIdentifier(child.pid()).isValid());
  std::unordered_set<QVProcessId> processes;
  QVTaskInfoLinux::getProcessIds(processes, false);
  EXPECT_EQ(processes.count(processId), 0u);
  QVTaskInfoLinux::getThreadIdsForProcess(processId, threads, false);
  EXPECT_TRUE(threads.empty());

  child.probe.finish();
  EXPECT_FALSE(info.isRunning());
  EXPECT_FALSE(info.refresh());
  // What was read while the task lived stays readable.
  EXPECT_EQ(info.name(), kChildName);
  EXPECT_EQ(info.ppid(), ::getpid());
}

TEST(QVTaskInfoLinuxLive, RefreshWhileOtherThreadsRead) {
  QVTaskInfoLinux info(::getpid());
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::thread reader([&] {
    while (!stop.load()) {
      if (info.procStatValues().integer(QVTaskInfoLinux::ProcStatValues::Pid) != static_cast<uint64_t>(::getpid()) ||
          info.name().empty()) {
        ++mismatches;
      }
    }
  });
  for (int i = 0; i < 200; ++i) {
    EXPECT_TRUE(info.refresh());
  }
  stop = true;
  reader.join();
  EXPECT_EQ(mismatches.load(), 0);
}

class QVTaskInfoLinuxFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // Read once per process; priming it outside the fixture root keeps ids
    // comparable with those of the live tests.
    QVSystemId::currentSystemId();
  }

  static FakeProcTree::Task process(int pid, const std::string& name, uint64_t startTicks) {
    FakeProcTree::Task task;
    task.pid = pid;
    task.name = name;
    task.startTicks = startTicks;
    return task;
  }

  FakeProcTree tree_;
};

TEST_F(QVTaskInfoLinuxFixture, ValuesByPosition) {
  FakeProcTree::Task task = process(4321, "worker (x) y", 47851);
  task.ppid = 4000;
  task.minorFaults = 101;
  task.majorFaults = 7;
  task.userTicks = 250;
  task.systemTicks = 125;
  task.threads = 5;
  task.uid = 1234;
  task.gid = 99;
  task.voluntarySwitches = 11;
  task.nonvoluntarySwitches = 13;
  tree_.addTask(task);
  tree_.addTask(process(77, "nostatus", 10));
  ASSERT_TRUE(FileWriteString(tree_.path("/proc/77/status"), ""));
  QVSystemPaths::ScopedRoot root(tree_.root());

  QVTaskInfoLinux info(4321);
  ASSERT_TRUE(info.isValid());
  EXPECT_EQ(info.name(), "worker (x) y");
  EXPECT_EQ(info.ppid(), 4000);
  EXPECT_EQ(info.realUID(), 1234u);
  // The fixture's btime is 1796497790 s; 47851 ticks after it.
  EXPECT_EQ(LocalMachineBootTime(), 1796497790ull * kNanosPerSecond);
  EXPECT_EQ(info.startTime(), 1796497790ull * kNanosPerSecond + 47851 * kNanosPerSecond / clockTicks());

  using S = QVTaskInfoLinux::ProcStatValues;
  QVTaskInfoLinux::ProcStatValues stat = info.procStatValues();
  EXPECT_EQ(std::make_tuple(stat.integer(S::Pid), stat.integer(S::PPid), stat.integer(S::MinorFaults),
                            stat.integer(S::MajorFaults)),
            std::make_tuple(uint64_t{4321}, uint64_t{4000}, uint64_t{101}, uint64_t{7}));
  EXPECT_DOUBLE_EQ(stat.real(S::UserTime), 250.0 / static_cast<double>(clockTicks()));
  EXPECT_DOUBLE_EQ(stat.real(S::SystemTime), 125.0 / static_cast<double>(clockTicks()));
  EXPECT_EQ(stat.integer(S::Count), 0u);
  EXPECT_EQ(stat.real(99), 0.0);

  // The positions the metric sources read, by number: Tgid, Pid, PPid,
  // TracerPid, Uid, Gid, VmPeak, VmSize; VmHWM to VmSwap; the two switch
  // counts and what follows them. The fixture's Vm lines are in kB, its
  // defaults 3060 kB of VmSize, 1724 of VmRSS and 1528 of VmLib.
  QVTaskInfoLinux::ProcStatusValues status = info.procStatusValues();
  const std::pair<int, uint64_t> positions[] = {
      {0, 4321}, {1, 4321}, {2, 4000}, {3, 0}, {4, 1234}, {5, 99}, {6, (3060 + 4) * 1024}, {7, 3060 * 1024},
      {10, (1724 + 8) * 1024}, {11, 1724 * 1024}, {12, 360 * 1024}, {13, 132 * 1024}, {14, 20 * 1024},
      {15, 1528 * 1024}, {16, 44 * 1024}, {17, 0}, {19, 11}, {20, 13}, {21, 0}};
  for (const auto& position : positions) {
    EXPECT_EQ(status.integer(position.first), position.second) << "position " << position.first;
  }
  EXPECT_EQ(status.int32At(36), 5);  // Threads
  EXPECT_EQ(status.threadCount(), 5);
  EXPECT_EQ(status.int32At(42), 0);

  // An empty status still gives the stat values, and an unknown user.
  QVTaskInfoLinux bare(77);
  ASSERT_TRUE(bare.isValid());
  EXPECT_EQ(bare.name(), "nostatus");
  EXPECT_EQ(bare.realUID(), QVTaskInfoLinux::kUnknownUID);
  EXPECT_EQ(bare.threadGroupId(), 77);
  EXPECT_EQ(bare.procStatusValues().integer(QVTaskInfoLinux::ProcStatusValues::Uid), QVTaskInfoLinux::kUnknownUID);
  EXPECT_EQ(bare.procStatusValues().integer(QVTaskInfoLinux::ProcStatusValues::VmRSS), 0u);
}

TEST(QVTaskInfoLinuxElf, HeaderDecoding) {
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::string ownHead(20, '\0');
  ASSERT_TRUE(self.read(&ownHead[0], 20));
  // EM_AARCH64 (183), EM_386 (3), EM_PPC64 (21) big-endian; EM_RISCV (243)
  // is not a known architecture.
  const std::string ppc64 = elfHead(2, 2, 21);
  std::string badClass = ppc64;
  badClass[4] = 3;
  std::string badMagic = ppc64;
  badMagic[1] = 'e';
  const std::pair<std::string, std::optional<QVArchitecture>> cases[] = {
      {ownHead, LocalMachineArchitecture()},       {elfHead(2, 1, 183), QVArchitectureAArch64},
      {elfHead(1, 1, 3), QVArchitectureX86},       {ppc64, QVArchitecturePPC64},
      {elfHead(2, 1, 243), QVArchitectureUnknown}, {"", std::nullopt},
      {ppc64.substr(0, 19), std::nullopt},         {badClass, std::nullopt},
      {badMagic, std::nullopt},                    {"#!/bin/sh\necho not an ELF file\n", std::nullopt},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(QVTaskInfoLinux::architectureFromElfHeader(cases[i].first), cases[i].second) << "case " << i;
  }
}

TEST_F(QVTaskInfoLinuxFixture, ArchitectureFromTheExecutable) {
  tree_.writeFile("/bins/aarch64", elfHead(2, 1, 183) + std::string(100, '\0'));
  tree_.writeFile("/bins/script", "#!/bin/sh\necho not an ELF file\n");
  const std::pair<int, const char*> executables[] = {{10, "/bins/aarch64"}, {12, "/bins/script"}, {13, "/bins/deleted"}};
  for (const auto& executable : executables) {
    tree_.addTask(process(executable.first, "task", 1));
    tree_.setExecutable(executable.first, tree_.path(executable.second));
  }
  QVSystemPaths::ScopedRoot root(tree_.root());
  EXPECT_EQ(QVTaskInfoLinux(10).architecture(), QVArchitectureAArch64);
  EXPECT_EQ(QVTaskInfoLinux(10).executable(), tree_.path("/bins/aarch64"));
  // Neither a non-ELF file nor a missing one says anything about the
  // machine type: the local machine's is assumed.
  EXPECT_EQ(QVTaskInfoLinux(12).architecture(), LocalMachineArchitecture());
  EXPECT_EQ(QVTaskInfoLinux(13).architecture(), LocalMachineArchitecture());
  EXPECT_EQ(QVTaskInfoLinux(13).executable(), tree_.path("/bins/deleted"));
}

TEST_F(QVTaskInfoLinuxFixture, ListingSkipsZombiesNonTasksAndUnreadableStats) {
  tree_.addTask(process(100, "alpha", 500));
  tree_.addTask(process(200, "beta", 600));
  FakeProcTree::Task zombie = process(300, "zombie", 700);
  zombie.state = 'Z';
  tree_.addTask(zombie);
  tree_.addTask(process(400, "broken", 800));
  tree_.writeFile("/proc/400/stat", "400 (broken");
  tree_.writeFile("/proc/self/stat", "1 (self) S 0 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1");
  tree_.writeFile("/proc/12ab/stat", "1 (odd) S 0 0 0 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 1");
  // A process that exited after being listed leaves a folder without files.
  tree_.writeFile("/proc/500/placeholder", "");
  QVSystemPaths::ScopedRoot root(tree_.root());

  std::unordered_set<QVProcessId> ids;
  QVTaskInfoLinux::getProcessIds(ids, false);
  std::unordered_set<int64_t> pids;
  for (const QVProcessId& id : ids) {
    pids.insert(id.nativeIdentifier());
  }
  EXPECT_EQ(pids, (std::unordered_set<int64_t>{100, 200}));
  const uint64_t boot = LocalMachineBootTime();
  EXPECT_EQ(ids.count(QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 100,
                                                   QVTaskInfoLinux::startTimeFromTicks(boot, 500))),
            1u);

  QVTaskInfoLinux broken(400);
  EXPECT_FALSE(broken.isValid());
  EXPECT_FALSE(broken.isRunning());
  QVTaskInfoLinux zombieInfo(300);
  EXPECT_TRUE(zombieInfo.isValid());
  EXPECT_FALSE(zombieInfo.isRunning());
}

TEST_F(QVTaskInfoLinuxFixture, ThreadsOfAProcessAndThreadIdsAreNotProcessIds) {
  tree_.addTask(process(100, "multi", 500));
  for (int tid : {101, 102}) {
    FakeProcTree::Task thread = process(100, "multi", 500 + static_cast<uint64_t>(tid));
    thread.tid = tid;
    tree_.addTask(thread);
  }
  FakeProcTree::Task dead = process(100, "multi", 900);
  dead.tid = 103;
  dead.state = 'X';
  tree_.addTask(dead);
  tree_.addTask(process(200, "single", 600));
  QVSystemPaths::ScopedRoot root(tree_.root());

  QVProcessId processId = QVProcessIdFromNativeIdentifier(100);
  ASSERT_TRUE(processId.isValid());
  std::unordered_set<QVThreadId> threads;
  QVTaskInfoLinux::getThreadIdsForProcess(processId, threads, false);
  EXPECT_EQ(nativeIds(threads), (std::unordered_set<int64_t>{100, 101, 102}));
  const uint64_t boot = LocalMachineBootTime();
  EXPECT_EQ(threads.count(QVThreadId::uniqueThreadId(processId, 102, QVTaskInfoLinux::startTimeFromTicks(boot, 602))),
            1u);
  EXPECT_EQ(QVThreadIdFromNativeIdentifier(100, 101),
            QVThreadId::uniqueThreadId(processId, 101, QVTaskInfoLinux::startTimeFromTicks(boot, 601)));
  EXPECT_FALSE(QVThreadIdFromNativeIdentifier(100, 103).isValid());
  EXPECT_FALSE(QVThreadIdFromNativeIdentifier(200, 101).isValid());

  std::unordered_set<QVThreadId> all;
  QVTaskInfoLinux::getThreadIds(all, false);
  EXPECT_EQ(nativeIds(all), (std::unordered_set<int64_t>{100, 101, 102, 200}));

  // An id of this pid with another start time is an earlier process that
  // has gone; the current one's threads are not its threads.
  QVProcessId stale = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 100, processId.order() - 1);
  QVTaskInfoLinux::getThreadIdsForProcess(stale, threads, false);
  EXPECT_TRUE(threads.empty());
  QVProcessId elsewhere =
      QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("other", "other"), 100, processId.order());
  QVTaskInfoLinux::getThreadIdsForProcess(elsewhere, threads, false);
  EXPECT_TRUE(threads.empty());

  // A thread's own folder, as the kernel serves it, names its process in
  // Tgid: the thread id is not a process id.
  FakeProcTree::Task thread = process(100, "multi", 601);
  thread.tid = 101;
  tree_.writeFile("/proc/101/stat", FakeProcTree::statText(thread));
  tree_.writeFile("/proc/101/status", FakeProcTree::statusText(thread));
  EXPECT_FALSE(QVProcessIdFromNativeIdentifier(101).isValid());
  EXPECT_EQ(QVTaskInfoLinux(101).threadGroupId(), 100);
}

TEST_F(QVTaskInfoLinuxFixture, RefreshAndReuseOfTheId) {
  FakeProcTree::Task task = process(100, "before", 500);
  task.minorFaults = 1;
  tree_.addTask(task);
  QVSystemPaths::ScopedRoot root(tree_.root());
  QVTaskInfoLinux info(100);
  ASSERT_TRUE(info.isRunning());

  task.minorFaults = 42;
  task.name = "after exec";
  task.threads = 9;
  tree_.addTask(task);
  ASSERT_TRUE(info.refresh());
  EXPECT_EQ(info.procStatValues().integer(QVTaskInfoLinux::ProcStatValues::MinorFaults), 42u);
  EXPECT_EQ(info.procStatusValues().threadCount(), 9);
  EXPECT_EQ(info.name(), "after exec");

  // The pid now names a newer process: ours is gone, and its values stay.
  FakeProcTree::Task newer = process(100, "newer", 9000);
  tree_.addTask(newer);
  EXPECT_FALSE(info.isRunning());
  EXPECT_FALSE(info.refresh());
  EXPECT_EQ(info.name(), "after exec");

  tree_.removeTask(100);
  EXPECT_FALSE(info.isRunning());
  EXPECT_FALSE(info.refresh());
  EXPECT_TRUE(info.isValid());

  QVTaskInfoLinux copy(info);
  EXPECT_EQ(copy.name(), "after exec");
  EXPECT_EQ(copy.nativeIdentifier(), 100);
}
