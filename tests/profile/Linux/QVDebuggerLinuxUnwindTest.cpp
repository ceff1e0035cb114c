#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "Linux/QVDebuggerLinux.h"
#include "Linux/QVProcessLinux.h"
#include "Linux/QVPtraceUnwindContext.h"
#include "Linux/QVTracedThread.h"
#include "Linux/QVUnwindAddressSpace.h"
#include "QVAbstractCallFrame.h"
#include "QVCallStack.h"
#include "QVLog.h"
#include "QVModule.h"
#include "QVProcMapsParser.h"
#include "QVSymbol.h"
#include "QVSystemId.h"
#include "QVTaskInfoLinux.h"
#include "QVThread.h"
#include "support/CallChainProbe.h"
#include "support/ChildProbe.h"

namespace Quorvel {
namespace {

using test::ChildProbe;

void Flush() {
  QVThread::flushRegisteredThreads();
  QVProcess::flushRegisteredProcesses();
  QVModule::flushRegisteredModules();
}

bool PtraceBlocked() {
  std::ifstream scope("/proc/sys/kernel/yama/ptrace_scope");
  int level = 0;
  return (scope >> level) && level >= 3;
}

// The probe in one mode, with its main thread id; for "block", started
// only once its main thread sleeps in the read.
class Probe {
 public:
  Probe(const std::string& program, const std::vector<std::string>& arguments) : probe_(program, arguments) {}
  bool start(bool waitForSleep) {
    if (!probe_.start()) {
      return false;
    }
    for (int i = 0; waitForSleep && i < 400; ++i) {
      if (ChildProbe::taskState(pid(), pid()) == 'S') {
        return true;
      }
      ::usleep(5000);
    }
    return !waitForSleep;
  }
  pid_t pid() const { return probe_.pid(); }
  QVThreadId mainThread() const { return QVThreadIdFromNativeIdentifier(pid(), pid()); }
  test::CallChainProbe& probe() { return probe_; }

 private:
  test::CallChainProbe probe_;
};

// Names of a stack's frames, innermost first ("?" where no symbol is
// known), looked up through the process model.
std::vector<std::string> FrameNames(const QVAbstractCallStack& stack) {
  std::vector<std::string> names;
  for (int i = 0; i < stack.size(); ++i) {
    QVRange<uint64_t> range;
    const std::shared_ptr<QVSymbol>& symbol = stack.frameAtIndex(i)->symbol(range);
    names.push_back(symbol ? symbol->name() : "?");
  }
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += name + " ";
  }
  return text;
}

// The frames from the first one named `first` onwards.
std::vector<std::string> From(const std::vector<std::string>& names, const std::string& first) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == first) {
      return std::vector<std::string>(names.begin() + static_cast<long>(i), names.end());
    }
  }
  return {};
}

// The instruction addresses `eu-stack -p <pid>` prints for the main
// thread, innermost first; empty when the tool did not run.
std::vector<uint64_t> EuStackAddresses(pid_t pid) {
  const std::string command = "eu-stack -p " + std::to_string(pid) + " 2>/dev/null";
  std::vector<uint64_t> addresses;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return addresses;
  }
  char line[1024];
  const std::string mainThread = "TID " + std::to_string(pid) + ":";
  bool inMain = false;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    const std::string text(line);
    if (text.compare(0, 4, "TID ") == 0) {
      inMain = text.compare(0, mainThread.size(), mainThread) == 0;
      continue;
    }
    if (!inMain || text.empty() || text[0] != '#') {
      continue;
    }
    std::istringstream fields(text);
    std::string number;
    std::string address;
    fields >> number >> address;
    addresses.push_back(std::strtoull(address.c_str(), nullptr, 16));
  }
  ::pclose(pipe);
  return addresses;
}

bool HasEuStack() { return std::system("command -v eu-stack >/dev/null 2>&1") == 0; }

class UnwindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Flush();
    if (PtraceBlocked()) {
      GTEST_SKIP() << "ptrace attach is disabled on this machine";
    }
  }
  void TearDown() override { Flush(); }

  // The child's process object and debugger, discovered from /proc.
  void Discover(pid_t pid) {
    const QVProcessId id = QVProcessLinux::updateProcessList(pid, false);
    process = QVProcess::processWithId(id, false, false);
    ASSERT_TRUE(process);
    debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
    ASSERT_TRUE(debugger);
  }

  static void ExpectNotTraced(pid_t pid) {
    std::unordered_set<QVThreadId> ids;
    QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(pid), ids, false);
    for (const QVThreadId& id : ids) {
      const char state = ChildProbe::taskState(pid, static_cast<pid_t>(id.nativeIdentifier()));
      EXPECT_NE('t', state) << "thread " << id.nativeIdentifier() << " left traced";
      EXPECT_NE('T', state) << "thread " << id.nativeIdentifier() << " left stopped";
    }
  }

  std::shared_ptr<QVProcess> process;
  std::shared_ptr<QVDebuggerLinux> debugger;
};

// Every build of the probe: with and without frame pointers, with and
// without debug information.
class UnwindProbeBuildTest : public UnwindTest,
                             public ::testing::WithParamInterface<test::CallChainProbe::Binary> {};

TEST_P(UnwindProbeBuildTest, BlockedProbeShowsItsCallChainInnermostFirst) {
  Probe child(GetParam().path, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());

  std::shared_ptr<QVAbstractCallStack> stack;
  ASSERT_TRUE(debugger->getThreadCallStack(child.mainThread(), stack, 512));
  ASSERT_TRUE(stack);
  ExpectNotTraced(child.pid());

  // CallChainProbe.cpp: main -> block_outer -> block_middle -> block_inner
  // -> read(). Above the chain lie only the C library's read wrappers,
  // below main only its start-up.
  const std::vector<std::string> names = FrameNames(*stack);
  const std::vector<std::string> chain = From(names, "block_inner");
  ASSERT_GE(chain.size(), 4u) << Joined(names);
  EXPECT_EQ("block_middle", chain[1]) << Joined(names);
  EXPECT_EQ("block_outer", chain[2]) << Joined(names);
  EXPECT_EQ("main", chain[3]) << Joined(names);
  const size_t above = names.size() - chain.size();
  EXPECT_GE(above, 1u) << Joined(names);
  EXPECT_LE(above, 3u) << Joined(names);
  EXPECT_LE(chain.size(), 7u) << Joined(names);

  // The stack resolves its frames through the process it was taken from.
  EXPECT_EQ(process.get(), stack->symbolSource());
  const auto* callStack = dynamic_cast<const QVCallStack*>(stack.get());
  ASSERT_NE(nullptr, callStack);
  EXPECT_EQ(static_cast<size_t>(stack->size()), callStack->addresses().size());
}

TEST_P(UnwindProbeBuildTest, AgreesWithEuStack) {
  if (!HasEuStack()) {
    GTEST_SKIP() << "eu-stack is not installed";
  }
  Probe child(GetParam().path, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());

  const std::vector<uint64_t> reference = EuStackAddresses(child.pid());
  if (reference.empty()) {
    GTEST_SKIP() << "eu-stack could not attach to the probe";
  }
  ExpectNotTraced(child.pid());
  std::shared_ptr<QVAbstractCallStack> stack;
  ASSERT_TRUE(debugger->getThreadCallStack(child.mainThread(), stack, 512));

  // eu-stack prints a caller's frame at its return address less one (inside
  // the call instruction); this unwinder keeps the return address itself.
  std::vector<uint64_t> ours;
  stack->getFrames(ours);
  ASSERT_EQ(reference.size(), ours.size()) << Joined(FrameNames(*stack));
  for (size_t i = 0; i < ours.size(); ++i) {
    const uint64_t difference = ours[i] > reference[i] ? ours[i] - reference[i] : reference[i] - ours[i];
    EXPECT_LE(difference, 1u) << "frame " << i << std::hex << ": 0x" << ours[i] << " vs 0x" << reference[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, UnwindProbeBuildTest, ::testing::ValuesIn(test::CallChainProbe::binaries()),
                         [](const ::testing::TestParamInfo<test::CallChainProbe::Binary>& info) {
                           return info.param.label;
                         });

TEST_F(UnwindTest, DepthLimitKeepsTheInnermostFrames) {
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());

  std::shared_ptr<QVAbstractCallStack> full;
  ASSERT_TRUE(debugger->getThreadCallStack(child.mainThread(), full, 512));
  ASSERT_GT(full->size(), 4);
  for (unsigned long depth : {1ul, 3ul}) {
    std::shared_ptr<QVAbstractCallStack> limited;
    ASSERT_TRUE(debugger->getThreadCallStack(child.mainThread(), limited, depth));
    ASSERT_EQ(static_cast<int>(depth), limited->size());
    // The blocked probe has not moved, so the frames are the same ones.
    for (int i = 0; i < limited->size(); ++i) {
      EXPECT_EQ(full->frameAtIndex(i)->address(), limited->frameAtIndex(i)->address());
    }
  }
  ExpectNotTraced(child.pid());
}

TEST_F(UnwindTest, EveryThreadOfARunningProcess) {
  Probe child(QV_CALL_CHAIN_PROBE_NOFP_G, {"spin", "20"});
  ASSERT_TRUE(child.start(false));
  Discover(child.pid());

  QVDebugger::CallStackMap stacks;
  ASSERT_TRUE(debugger->getProcessCallStacks(stacks, 512));
  ExpectNotTraced(child.pid());
  // CallChainProbe.cpp: main -> outer_a -> middle_a -> inner_a and
  // thread_b -> work_b -> leaf_b, both spinning.
  ASSERT_EQ(2u, stacks.size());
  const QVThreadId threadB = QVThreadIdFromNativeIdentifier(child.pid(), static_cast<int>(child.probe().value("thread_b")));
  ASSERT_EQ(1u, stacks.count(child.mainThread()));
  ASSERT_EQ(1u, stacks.count(threadB));
  const std::vector<std::string> main = FrameNames(*stacks[child.mainThread()]);
  const std::vector<std::string> chainA = From(main, "middle_a");
  ASSERT_GE(chainA.size(), 3u) << Joined(main);
  EXPECT_EQ("outer_a", chainA[1]) << Joined(main);
  EXPECT_EQ("main", chainA[2]) << Joined(main);
  const std::vector<std::string> second = FrameNames(*stacks[threadB]);
  const std::vector<std::string> chainB = From(second, "work_b");
  ASSERT_GE(chainB.size(), 2u) << Joined(second);
  EXPECT_EQ("thread_b", chainB[1]) << Joined(second);
}

TEST_F(UnwindTest, ProbeExitingWhileBeingUnwoundIsNeverLeftTraced) {
  Probe child(QV_CALL_CHAIN_PROBE_NOFP_NOG, {"exit-after", "300"});
  ASSERT_TRUE(child.start(false));
  Discover(child.pid());

  int unwound = 0;
  int failed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::shared_ptr<QVAbstractCallStack> stack;
    if (debugger->getThreadCallStack(child.mainThread(), stack, 512)) {
      ++unwound;
      const char state = ChildProbe::taskState(child.pid(), child.pid());
      EXPECT_NE('t', state);
      EXPECT_NE('T', state);
    } else {
      ++failed;
      EXPECT_FALSE(stack);
      const char state = ChildProbe::taskState(child.pid(), child.pid());
      if (state == 'Z' || state == 0) {
        break;
      }
    }
  }
  EXPECT_GT(unwound, 0);
  EXPECT_GT(failed, 0) << "the probe never exited";
  // Its end was left for its parent: the fixture reaps it with its status.
  int status = -1;
  ASSERT_TRUE(child.probe().wait(5000, status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(UnwindTest, ProbeKilledWhileAnotherThreadUnwindsIt) {
  Probe child(QV_CALL_CHAIN_PROBE_FP_NOG, {"spin", "20"});
  ASSERT_TRUE(child.start(false));
  Discover(child.pid());

  std::atomic<bool> stop{false};
  std::atomic<int> unwound{0};
  const QVThreadId mainThread = child.mainThread();
  std::thread sampler([&] {
    while (!stop) {
      std::shared_ptr<QVAbstractCallStack> stack;
      if (debugger->getThreadCallStack(mainThread, stack, 512)) {
        ++unwound;
      }
    }
  });
  for (int i = 0; i < 400 && unwound < 20; ++i) {
    ::usleep(5000);
  }
  ::kill(child.pid(), SIGKILL);
  int status = 0;
  const bool reaped = child.probe().wait(5000, status);
  stop = true;
  sampler.join();
  EXPECT_GE(unwound, 1);
  ASSERT_TRUE(reaped);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGKILL, WTERMSIG(status));
  EXPECT_FALSE(debugger->isProcessRunning());
}

TEST_F(UnwindTest, ThreadsThatComeAndGo) {
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"churn", "20"});
  ASSERT_TRUE(child.start(false));
  Discover(child.pid());
  // Workers live for microseconds: the ids listed are often gone by the
  // time they are attached. Those are left out; the main thread stays.
  int rounds = 0;
  for (; rounds < 50; ++rounds) {
    QVDebugger::CallStackMap stacks;
    EXPECT_TRUE(debugger->getProcessCallStacks(stacks, 512));
    EXPECT_EQ(1u, stacks.count(child.mainThread()));
  }
  ExpectNotTraced(child.pid());
  EXPECT_TRUE(debugger->isProcessRunning());
}

TEST_F(UnwindTest, AttachStopsCollectedByAnotherWaitOfThisProgram) {
  // A thread of this program waits for the probe it started, as a launcher
  // would. Such a wait also collects the stop reports of a traced child, so
  // the attach often finds its report gone; it must see the thread stopped
  // anyway instead of waiting for ever.
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());
  const pid_t pid = child.pid();
  std::atomic<int> stopsSeen{0};
  std::atomic<int> endStatus{-1};
  std::thread waiter([&] {
    for (;;) {
      int status = 0;
      if (::waitpid(pid, &status, 0) != pid) {
        return;
      }
      if (WIFSTOPPED(status)) {
        ++stopsSeen;
        continue;
      }
      endStatus = status;
      return;
    }
  });
  // Who collects a report is a race; go on until the waiter won a few.
  int attempts = 0;
  int unwound = 0;
  for (; attempts < 2000 && stopsSeen < 5; ++attempts) {
    std::shared_ptr<QVAbstractCallStack> stack;
    unwound += debugger->getThreadCallStack(child.mainThread(), stack, 512) ? 1 : 0;
  }
  ExpectNotTraced(pid);
  ::kill(pid, SIGKILL);
  waiter.join();
  EXPECT_EQ(attempts, unwound);
  EXPECT_TRUE(WIFSIGNALED(endStatus.load()));
  if (stopsSeen == 0) {
    GTEST_SKIP() << "the waiter never collected a stop report in " << attempts << " attaches";
  }
}

std::atomic<int> g_interrupts{0};

void CountInterrupt(int) { ++g_interrupts; }

TEST_F(UnwindTest, InterruptsOfTheProfilerNeverLeaveTheTargetStopped) {
  // The front end's SIGINT handler only sets a flag, and is installed
  // without SA_RESTART: every wait it interrupts fails with EINTR.
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = CountInterrupt;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, ::sigaction(SIGINT, &action, &previous));

  Probe child(QV_CALL_CHAIN_PROBE_NOFP_G, {"spin", "20"});
  ASSERT_TRUE(child.start(false));
  Discover(child.pid());
  const pthread_t unwinding = ::pthread_self();
  std::atomic<bool> stop{false};
  std::thread interrupter([&] {
    while (!stop) {
      ::pthread_kill(unwinding, SIGINT);
      ::usleep(50);
    }
  });
  int unwound = 0;
  int blockingAttached = 0;
  for (int i = 0; i < 200; ++i) {
    std::shared_ptr<QVAbstractCallStack> stack;
    unwound += debugger->getThreadCallStack(child.mainThread(), stack, 512) ? 1 : 0;
    QVTracedThread traced(child.pid(), false, QVTracedThread::WaitStyle::Blocking);
    blockingAttached += traced.attached() ? 1 : 0;
  }
  stop = true;
  interrupter.join();
  ::sigaction(SIGINT, &previous, nullptr);
  ExpectNotTraced(child.pid());
  EXPECT_EQ(200, unwound);
  EXPECT_EQ(200, blockingAttached);
  EXPECT_GT(g_interrupts.load(), 0);
}

TEST_F(UnwindTest, ProcessesThatCannotBeUnwound) {
  std::shared_ptr<QVAbstractCallStack> stack;

  // A pid that no process has (the kernel's limit is below INT_MAX).
  const QVProcessId goneId = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), INT_MAX - 1, 1);
  auto gone = std::make_shared<QVProcess>(goneId, "gone", "/bin/gone");
  QVDebuggerLinux goneDebugger(*gone, false, true);
  EXPECT_FALSE(goneDebugger.getThreadCallStack(QVThreadId::uniqueThreadId(goneId, INT_MAX - 1, 1), stack, 16));
  EXPECT_FALSE(stack);
  EXPECT_FALSE(goneDebugger.isProcessRunning());

  // This test program: ptrace refuses a tracer in the tracee's own thread
  // group, for the calling thread and any other.
  Discover(::getpid());
  std::string log;
  StartCaptureLog();
  EXPECT_FALSE(debugger->getThreadCallStack(QVThreadIdFromNativeIdentifier(::getpid(), ::getpid()), stack, 16));
  std::thread other([&] {
    EXPECT_FALSE(debugger->getThreadCallStack(
        QVThreadIdFromNativeIdentifier(::getpid(), static_cast<int>(::gettid())), stack, 16));
  });
  other.join();
  StopCaptureLog(log);
  EXPECT_FALSE(stack);

  // A kernel thread (kthreadd) cannot be traced at all.
  const char kthreadd = ChildProbe::taskState(2, 2);
  if (kthreadd == 0) {
    GTEST_SKIP() << "no kthreadd visible at pid 2 (not in the initial pid namespace)";
  }
  const QVProcessId kthreaddId = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 2, 1);
  auto kernelThread = std::make_shared<QVProcess>(kthreaddId, "kthreadd", "");
  QVDebuggerLinux kernelDebugger(*kernelThread, false, false);
  EXPECT_FALSE(kernelDebugger.getThreadCallStack(QVThreadId::uniqueThreadId(kthreaddId, 2, 1), stack, 16));
  EXPECT_FALSE(stack);
  EXPECT_EQ(kthreadd, ChildProbe::taskState(2, 2));
}

TEST(TracedThreadTest, HoldsTheThreadForItsScopeOnEveryPath) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  {
    QVTracedThread traced(child.pid(), true);
    ASSERT_TRUE(traced.attached());
    EXPECT_EQ('t', ChildProbe::taskState(child.pid(), child.pid()));
    // A second guard finds it traced already and holds nothing.
    QVTracedThread again(child.pid(), false);
    EXPECT_FALSE(again.attached());
    EXPECT_TRUE(again.release());
  }
  EXPECT_NE('t', ChildProbe::taskState(child.pid(), child.pid()));

  // An exception thrown while the thread is held.
  try {
    QVTracedThread traced(child.pid(), false);
    ASSERT_TRUE(traced.attached());
    throw std::runtime_error("unwinding failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_NE('t', ChildProbe::taskState(child.pid(), child.pid()));

  // Waiting in the kernel instead of polling: nobody else waits for the
  // probe here, so the stop report comes to the attach.
  {
    QVTracedThread traced(child.pid(), true, QVTracedThread::WaitStyle::Blocking);
    ASSERT_TRUE(traced.attached());
    EXPECT_EQ('t', ChildProbe::taskState(child.pid(), child.pid()));
  }
  EXPECT_NE('t', ChildProbe::taskState(child.pid(), child.pid()));

  // Released early, then destroyed: one detach only.
  {
    QVTracedThread traced(child.pid(), false);
    ASSERT_TRUE(traced.attached());
    EXPECT_TRUE(traced.release());
    EXPECT_FALSE(traced.attached());
    EXPECT_NE('t', ChildProbe::taskState(child.pid(), child.pid()));
    EXPECT_TRUE(traced.release());
  }

  // Back in its read, unharmed by the stops.
  for (int i = 0; i < 400 && ChildProbe::taskState(child.pid(), child.pid()) != 'S'; ++i) {
    ::usleep(5000);
  }
  EXPECT_EQ('S', ChildProbe::taskState(child.pid(), child.pid()));

  std::string log;
  StartCaptureLog();
  EXPECT_FALSE(QVTracedThread::attach(INT_MAX - 1, true));
  EXPECT_FALSE(QVTracedThread::detach(child.pid(), true));  // not traced
  StopCaptureLog(log);
  EXPECT_NE(std::string::npos, log.find("failed to attach to " + std::to_string(INT_MAX - 1) + ": "));
  EXPECT_NE(std::string::npos, log.find("failed to detach from " + std::to_string(child.pid()) + ": "));
}

TEST(TracedThreadTest, AttachesThroughASignalStorm) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  // SIGWINCH, ignored by the probe, keeps arriving while it is attached
  // over and over: whenever one comes before the attach's stop it is handed
  // on, and the attach still ends in that stop.
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop) {
      ::kill(child.pid(), SIGWINCH);
    }
  });
  std::string log;
  StartCaptureLog();
  int attached = 0;
  for (int i = 0; i < 300; ++i) {
    QVTracedThread traced(child.pid(), true);
    attached += traced.attached() ? 1 : 0;
  }
  StopCaptureLog(log);
  stop = true;
  storm.join();
  EXPECT_EQ(300, attached) << log;
  // Whatever was handed on was the storm's signal.
  const std::string expected = "passing along signal " + std::to_string(SIGWINCH) + " to thread " +
                               std::to_string(child.pid()) + " ";
  for (size_t at = log.find("passing along signal "); at != std::string::npos;
       at = log.find("passing along signal ", at + 1)) {
    EXPECT_EQ(expected, log.substr(at, expected.size()));
  }
  for (int i = 0; i < 400 && ChildProbe::taskState(child.pid(), child.pid()) != 'S'; ++i) {
    ::usleep(5000);
  }
  EXPECT_EQ('S', ChildProbe::taskState(child.pid(), child.pid()));
}

// The ELF-path accessor answers from the debugger's segment map, reached
// through the address space's user pointer.
TEST_F(UnwindTest, ElfPathAccessorAnswersFromTheSegmentMap) {
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());

  QVUnwindAddressSpace space(&QVDebuggerLinux::_get_elf_path, debugger.get());
  ASSERT_TRUE(space.isValid());
  EXPECT_EQ(debugger.get(), QVUnwindAddressSpace::userPointer(space.space()));
  EXPECT_EQ(&space.accessors(), QVUnwindAddressSpace::accessorsForSpace(space.space()));

  // The reference: the probe's own code mapping, as /proc lists it.
  std::optional<QVProcMapsEntry> code;
  std::ifstream maps("/proc/" + std::to_string(child.pid()) + "/maps");
  std::string line;
  char probePath[PATH_MAX];
  ASSERT_NE(nullptr, ::realpath(QV_CALL_CHAIN_PROBE_FP_G, probePath));
  while (std::getline(maps, line)) {
    std::optional<QVProcMapsEntry> entry = QVProcMapsParser::parseLine(line);
    if (entry && entry->isExecutable() && entry->path() == probePath) {
      code = entry;
    }
  }
  ASSERT_TRUE(code);
  const unw_word_t ip = code->start + (code->end - code->start) / 2;

  unw_word_t start = 0;
  unw_word_t offset = 0;
  char path[PATH_MAX];
  ASSERT_EQ(0, QVDebuggerLinux::_get_elf_path(space.space(), ip, &start, &offset, path, sizeof(path)));
  EXPECT_EQ(code->start, start);
  EXPECT_EQ(code->offset, offset);
  EXPECT_EQ(std::string(probePath), std::string(path));

  // Too small a buffer gets the path's beginning, unterminated.
  char shortPath[5];
  std::memset(shortPath, 'x', sizeof(shortPath));
  ASSERT_EQ(0, QVDebuggerLinux::_get_elf_path(space.space(), ip, &start, &offset, shortPath, 4));
  EXPECT_EQ(std::string(probePath).substr(0, 4), std::string(shortPath, 4));
  EXPECT_EQ('x', shortPath[4]);

  // No file mapping at the first page; nobody attached to a foreign space.
  EXPECT_EQ(-1, QVDebuggerLinux::_get_elf_path(space.space(), 0x10, &start, &offset, path, sizeof(path)));
  QVUnwindAddressSpace anonymous(nullptr, nullptr);
  ASSERT_TRUE(anonymous.isValid());
  EXPECT_EQ(-1, QVDebuggerLinux::_get_elf_path(anonymous.space(), ip, &start, &offset, path, sizeof(path)));
  QVUnwindAddressSpace::setUserPointer(anonymous.space(), debugger.get());
  EXPECT_EQ(0, QVDebuggerLinux::_get_elf_path(anonymous.space(), ip, &start, &offset, path, sizeof(path)));
}

TEST(UnwindAddressSpaceTest, UserPointersBelongToOneSpaceEach) {
  int first = 0;
  int second = 0;
  auto a = std::make_unique<QVUnwindAddressSpace>(nullptr, &first);
  auto b = std::make_unique<QVUnwindAddressSpace>(nullptr, &second);
  ASSERT_TRUE(a->isValid());
  ASSERT_TRUE(b->isValid());
  EXPECT_EQ(&first, QVUnwindAddressSpace::userPointer(a->space()));
  EXPECT_EQ(&second, QVUnwindAddressSpace::userPointer(b->space()));
  QVUnwindAddressSpace::setUserPointer(a->space(), &second);
  EXPECT_EQ(&second, QVUnwindAddressSpace::userPointer(a->space()));
  // The ptrace table is kept but for the procedure lookup, which is ours.
  const auto library = [](auto function) {
    Dl_info info{};
    return ::dladdr(reinterpret_cast<void*>(function), &info) != 0 && info.dli_fname ? std::string(info.dli_fname)
                                                                                       : std::string();
  };
  EXPECT_NE(std::string::npos, library(a->accessors().unwind.access_mem).find("libunwind-ptrace"));
  EXPECT_NE(std::string::npos, library(a->accessors().unwind.access_reg).find("libunwind-ptrace"));
  EXPECT_NE(std::string::npos, library(a->accessors().unwind.put_unwind_info).find("libunwind-ptrace"));
  EXPECT_NE(std::string::npos, library(a->accessors().unwind.find_proc_info).find("libQVProfile"));
  const unw_addr_space_t gone = b->space();
  b.reset();
  EXPECT_EQ(nullptr, QVUnwindAddressSpace::userPointer(gone));
  EXPECT_EQ(nullptr, QVUnwindAddressSpace::accessorsForSpace(gone));
}

TEST(PtraceUnwindContextTest, MadeForAnyThreadId) {
  // _UPT_create only allocates: it does not touch the thread.
  QVPtraceUnwindContext context(::getpid());
  EXPECT_TRUE(context.isValid());
}

// The trace switch is read once at load, so the traced run is a second
// copy of this program with "QV_TRACE_UNWIND" set, running only this test.
TEST_F(UnwindTest, TraceMessagesUnderTheTraceSwitch) {
  if (!QVDebuggerLinux::traceUnwind()) {
    const std::string command = "QV_TRACE_UNWIND=1 /proc/" + std::to_string(::getpid()) +
                                "/exe --gtest_filter=UnwindTest.TraceMessagesUnderTheTraceSwitch >/dev/null 2>&1";
    EXPECT_EQ(0, std::system(command.c_str())) << "the traced run failed";
    return;
  }
  Probe child(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(child.start(true));
  Discover(child.pid());
  std::string log;
  StartCaptureLog();
  std::shared_ptr<QVAbstractCallStack> stack;
  ASSERT_TRUE(debugger->getThreadCallStack(child.mainThread(), stack, 3));
  StopCaptureLog(log);
  EXPECT_NE(std::string::npos, log.find(std::string(80, '-')));
  std::ostringstream first;
  first << "[0] 0x" << std::hex << stack->frameAtIndex(0)->address();
  EXPECT_NE(std::string::npos, log.find(first.str())) << log;
  EXPECT_NE(std::string::npos, log.find("[2] 0x")) << log;
  EXPECT_EQ(std::string::npos, log.find("[3] 0x")) << log;
}

}  // namespace
}  // namespace Quorvel
