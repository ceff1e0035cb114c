// The Linux debugger on real children: unwinding, attaching, and what it
// must never do to its target; its maps reading over fixture trees, and the
// per-thread /proc files a tick reads.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ids/QVSystemId.h"
#include "Linux/process/QVProcessLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "Linux/unwind/QVTaskFiles.h"
#include "Linux/unwind/QVTracedThread.h"
#include "Linux/unwind/QVUnwindAddressSpace.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "proc/QVProcMapsParser.h"
#include "proc/QVTaskInfoLinux.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVCallStack.h"
#include "support/CallChainProbe.h"
#include "support/FakeProcTree.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace {

using test::CallChainProbe;
using test::ChildProbe;
using ::testing::HasSubstr;

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
  const auto at = std::find(names.begin(), names.end(), first);
  return std::vector<std::string>(at, names.end());
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
    } else if (inMain && text[0] == '#') {
      std::istringstream fields(text);
      std::string number;
      std::string address;
      fields >> number >> address;
      addresses.push_back(std::strtoull(address.c_str(), nullptr, 16));
    }
  }
  ::pclose(pipe);
  return addresses;
}

std::vector<pid_t> Tids(pid_t pid) {
  std::unordered_set<QVThreadId> ids;
  QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(pid), ids, false);
  std::vector<pid_t> tids;
  for (const QVThreadId& id : ids) {
    tids.push_back(static_cast<pid_t>(id.nativeIdentifier()));
  }
  return tids;
}

// Polls until every thread of `pid` is (or no thread is) in job-control
// stop; the timeout is only an upper bound.
bool WaitForStopped(pid_t pid, bool stopped) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    bool all = true;
    for (pid_t tid : Tids(pid)) {
      const char state = ChildProbe::taskState(pid, tid);
      all = all && ((state == 'T') == stopped);
    }
    if (all) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Where the system-call probe writes its counts.
std::string SyscallResults() { return GetTempDirectory() + "/syscall-probe-" + std::to_string(::getpid()); }

class UnwindTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    if (test::PtraceBlocked()) {
      GTEST_SKIP() << "ptrace attach is disabled on this machine";
    }
  }

  // Starts the probe (for "block", until its main thread sleeps in the
  // read) and discovers its process object and debugger from /proc.
  void Start(const std::string& program, const std::vector<std::string>& arguments) {
    child = std::make_unique<CallChainProbe>(program, arguments);
    ASSERT_TRUE(child->start());
    if (arguments.front() == "block") {
      ASSERT_TRUE(child->waitForState('S'));
    }
    Discover(child->pid());
    mainThread = QVThreadIdFromNativeIdentifier(child->pid(), child->pid());
  }

  void Discover(pid_t pid) {
    process = test::DiscoverProcess(pid);
    ASSERT_TRUE(process);
    debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
    ASSERT_TRUE(debugger);
  }

  bool Unwind(std::shared_ptr<QVAbstractCallStack>& stack, unsigned long depth = 512) {
    return debugger->getThreadCallStack(mainThread, stack, depth);
  }

  std::unique_ptr<CallChainProbe> child;
  QVThreadId mainThread;
  std::shared_ptr<QVProcess> process;
  std::shared_ptr<QVDebuggerLinux> debugger;
};

// Every build of the probe: with and without frame pointers, with and
// without debug information.
class UnwindProbeBuildTest : public UnwindTest, public ::testing::WithParamInterface<CallChainProbe::Binary> {};

TEST_P(UnwindProbeBuildTest, BlockedProbeShowsItsCallChainInnermostFirstAsEuStackDoes) {
  ASSERT_NO_FATAL_FAILURE(Start(GetParam().path, {"block"}));
  std::shared_ptr<QVAbstractCallStack> stack;
  ASSERT_TRUE(Unwind(stack));
  ASSERT_TRUE(stack);
  test::ExpectNotTraced(child->pid());

  // CallChainProbe.cpp: main -> block_outer -> block_middle -> block_inner
  // -> read(). Above the chain lie only the C library's read wrappers,
  // below main only its start-up.
  const std::vector<std::string> names = FrameNames(*stack);
  const std::vector<std::string> chain = From(names, "block_inner");
  ASSERT_GE(chain.size(), 4u) << Joined(names);
  EXPECT_EQ((std::vector<std::string>{"block_middle", "block_outer", "main"}),
            std::vector<std::string>(chain.begin() + 1, chain.begin() + 4))
      << Joined(names);
  const size_t above = names.size() - chain.size();
  EXPECT_GE(above, 1u) << Joined(names);
  EXPECT_LE(above, 3u) << Joined(names);
  EXPECT_LE(chain.size(), 7u) << Joined(names);

  // The stack resolves its frames through the process it was taken from.
  EXPECT_EQ(process.get(), stack->symbolSource());
  const auto* callStack = dynamic_cast<const QVCallStack*>(stack.get());
  ASSERT_NE(nullptr, callStack);
  EXPECT_EQ(static_cast<size_t>(stack->size()), callStack->addresses().size());

  // A depth limit keeps the innermost frames: the blocked probe has not
  // moved, so they are the same ones.
  for (unsigned long depth : {1ul, 3ul}) {
    std::shared_ptr<QVAbstractCallStack> limited;
    ASSERT_TRUE(Unwind(limited, depth));
    ASSERT_EQ(static_cast<int>(depth), limited->size());
    for (int i = 0; i < limited->size(); ++i) {
      EXPECT_EQ(stack->frameAtIndex(i)->address(), limited->frameAtIndex(i)->address());
    }
  }
  test::ExpectNotTraced(child->pid());

  if (std::system("command -v eu-stack >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "eu-stack is not installed: the stack was not compared with it";
  }
  const std::vector<uint64_t> reference = EuStackAddresses(child->pid());
  if (reference.empty()) {
    GTEST_SKIP() << "eu-stack could not attach to the probe";
  }
  test::ExpectNotTraced(child->pid());
  // eu-stack prints a caller's frame at its return address less one (inside
  // the call instruction); this unwinder keeps the return address itself.
  std::vector<uint64_t> ours;
  stack->getFrames(ours);
  ASSERT_EQ(reference.size(), ours.size()) << Joined(names);
  for (size_t i = 0; i < ours.size(); ++i) {
    const uint64_t difference = ours[i] > reference[i] ? ours[i] - reference[i] : reference[i] - ours[i];
    EXPECT_LE(difference, 1u) << "frame " << i << std::hex << ": 0x" << ours[i] << " vs 0x" << reference[i];
  }
}

// The sampler copies a stopped thread's registers and stack, lets it go,
// and unwinds from the copy; that must give the very stack an unwind of the
// held thread gives. The probe sits in a group stop so that both see one
// state. The deep probe's stack (300 frames of 256 bytes and more) outgrows
// the first copy, which is then taken again longer.
TEST_P(UnwindProbeBuildTest, StackFromTheCopyMatchesTheHeldThreadsStack) {
  struct Case {
    std::vector<std::string> arguments;
    size_t threads;
    int atLeastFrames;
  };
  for (const Case& c : {Case{{"spin", "20"}, 2, 3}, Case{{"deep", "300"}, 1, 300}}) {
    SCOPED_TRACE(c.arguments.front());
    ASSERT_NO_FATAL_FAILURE(Start(GetParam().path, c.arguments));
    ASSERT_TRUE(c.threads == 2 || child->waitForState('S'));
    ASSERT_EQ(0, ::kill(child->pid(), SIGSTOP));
    std::unordered_set<QVThreadId> threadIds;
    const auto allStopped = [&] {
      threadIds.clear();
      QVTaskInfoLinux::getThreadIdsForProcess(process->processId(), threadIds, false);
      return std::all_of(threadIds.begin(), threadIds.end(), [&](const QVThreadId& id) {
        return CallChainProbe::taskState(child->pid(), static_cast<pid_t>(id.nativeIdentifier())) == 'T';
      });
    };
    for (int tries = 0; tries < 1000 && !allStopped(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(c.threads, threadIds.size());

    QVDebugger::ThreadSampleMap copied;
    ASSERT_TRUE(debugger->sampleThreads(copied, 512, {}));
    ASSERT_EQ(c.threads, copied.size());
    for (const auto& entry : copied) {
      std::shared_ptr<QVAbstractCallStack> held;
      ASSERT_TRUE(debugger->getThreadCallStack(entry.first, held, 512));
      std::vector<uint64_t> fromCopy;
      std::vector<uint64_t> fromHeld;
      entry.second.stack->getFrames(fromCopy);
      held->getFrames(fromHeld);
      EXPECT_GE(static_cast<int>(fromCopy.size()), c.atLeastFrames) << Joined(FrameNames(*entry.second.stack));
      EXPECT_EQ(fromHeld, fromCopy) << Joined(FrameNames(*entry.second.stack));
      // The walk reached the outermost function of the probe's thread.
      const std::vector<std::string> names = FrameNames(*entry.second.stack);
      EXPECT_FALSE(From(names, "main").empty() && From(names, "thread_b").empty()) << Joined(names);
    }
    ASSERT_EQ(0, ::kill(child->pid(), SIGCONT));
    ASSERT_TRUE(c.threads == 2 || child->waitForState('S'));
    test::ExpectNotTraced(child->pid());
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, UnwindProbeBuildTest, ::testing::ValuesIn(CallChainProbe::binaries()),
                         [](const ::testing::TestParamInfo<CallChainProbe::Binary>& info) {
                           return info.param.label;
                         });

// A thread killed while it is held (its process ended meanwhile) cannot be
// detached: it is a zombie that only its tracer may reap, and until then
// the kernel keeps the process's end from its parent, so a launcher would
// wait for ever. First held by hand, then with stacks taken back to back
// while the process exits on its own, by turns one thread's unwind and the
// sampler's: a thread unwound is never left stopped, and the end is left
// for the parent to reap with its status.
TEST_F(UnwindTest, ProcessEndingWhileItsThreadsAreHeldStillReachesItsParent) {
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_NOG, {"spin", "20"}));
  {
    QVTracedThread held(static_cast<pid_t>(child->value("thread_b")), true);
    ASSERT_TRUE(held.attached());
    ::kill(child->pid(), SIGKILL);
  }
  int status = -1;
  ASSERT_TRUE(child->wait(5000, status)) << "the killed probe's end never reached its parent";
  EXPECT_TRUE(WIFSIGNALED(status));

  // The probe counts from its own start, so the first exit must leave time
  // for discovery on a loaded machine; the step moves the exit across the
  // sampling rounds from run to run.
  int unwound = 0;
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_NOG, {"exit-after", std::to_string(150 + 15 * run)}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      QVDebugger::ThreadSampleMap samples;
      std::shared_ptr<QVAbstractCallStack> stack;
      const bool ok = run % 2 == 0 ? Unwind(stack) : debugger->sampleThreads(samples, 512, nullptr);
      const char state = ChildProbe::taskState(child->pid(), child->pid());
      if (ok) {
        ++unwound;
        EXPECT_NE('t', state);
        EXPECT_NE('T', state);
      } else {
        EXPECT_FALSE(stack);
        if (state == 'Z' || state == 0) {
          break;
        }
      }
    }
    ASSERT_TRUE(child->wait(5000, status)) << "the probe's end never reached its parent";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
  EXPECT_GT(unwound, 0);
}

TEST_F(UnwindTest, ThreadsThatComeAndGo) {
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_G, {"churn", "20"}));
  // Workers live for microseconds: the ids listed are often gone by the
  // time they are attached. Those are left out; the main thread stays.
  // The case only tests anything if workers did come and go meanwhile.
  std::set<pid_t> workers;
  for (int round = 0; round < 50 || (workers.size() < 3 && round < 2000); ++round) {
    QVDebugger::CallStackMap stacks;
    EXPECT_TRUE(debugger->getProcessCallStacks(stacks, 512));
    EXPECT_EQ(1u, stacks.count(mainThread));
    for (pid_t tid : Tids(child->pid())) {
      if (tid != child->pid()) {
        workers.insert(tid);
      }
    }
  }
  EXPECT_GE(workers.size(), 3u);
  test::ExpectNotTraced(child->pid());
  EXPECT_TRUE(debugger->isProcessRunning());
}

TEST_F(UnwindTest, AttachStopsCollectedByAnotherWaitOfThisProgram) {
  // A thread of this program waits for the probe it started, as a launcher
  // would. Such a wait also collects the stop reports of a traced child, so
  // the attach often finds its report gone; it must see the thread stopped
  // anyway instead of waiting for ever.
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_G, {"block"}));
  const pid_t pid = child->pid();
  std::atomic<int> stopsSeen{0};
  std::atomic<int> endStatus{-1};
  std::thread waiter([&] {
    int status = 0;
    while (::waitpid(pid, &status, 0) == pid) {
      if (!WIFSTOPPED(status)) {
        endStatus = status;
        return;
      }
      ++stopsSeen;
    }
  });
  // Who collects a report is a race; go on until the waiter won a few.
  int attempts = 0;
  int unwound = 0;
  for (; attempts < 2000 && stopsSeen < 5; ++attempts) {
    std::shared_ptr<QVAbstractCallStack> stack;
    unwound += Unwind(stack) ? 1 : 0;
  }
  test::ExpectNotTraced(pid);
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
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_NOFP_G, {"spin", "20"}));
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
    unwound += Unwind(stack) ? 1 : 0;
    QVTracedThread traced(child->pid(), false, QVTracedThread::WaitStyle::Blocking);
    blockingAttached += traced.attached() ? 1 : 0;
  }
  stop = true;
  interrupter.join();
  ::sigaction(SIGINT, &previous, nullptr);
  test::ExpectNotTraced(child->pid());
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
  test::CaptureLog([&] {
    EXPECT_FALSE(debugger->getThreadCallStack(QVThreadIdFromNativeIdentifier(::getpid(), ::getpid()), stack, 16));
    std::thread other([&] {
      EXPECT_FALSE(debugger->getThreadCallStack(
          QVThreadIdFromNativeIdentifier(::getpid(), static_cast<int>(::gettid())), stack, 16));
    });
    other.join();
  });
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

// The blocked probe held by a traced-thread guard on every path and through
// a signal storm, then its code looked up through the ELF-path accessor.
TEST_F(UnwindTest, TracedThreadHoldsTheThreadOnEveryPathAndTheElfPathAccessorFindsItsCode) {
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_G, {"block"}));
  const pid_t pid = child->pid();
  const auto state = [pid] { return ChildProbe::taskState(pid, pid); };
  for (auto style : {QVTracedThread::WaitStyle::Polled, QVTracedThread::WaitStyle::Blocking}) {
    // Waiting in the kernel works too: nobody else waits for the probe
    // here, so the stop report comes to the attach.
    {
      QVTracedThread traced(pid, true, style);
      ASSERT_TRUE(traced.attached());
      EXPECT_EQ('t', state());
      // A second guard finds it traced already and holds nothing.
      QVTracedThread again(pid, false);
      EXPECT_FALSE(again.attached());
      EXPECT_TRUE(again.release());
    }
    EXPECT_NE('t', state());
  }
  // An exception thrown while the thread is held.
  try {
    QVTracedThread traced(pid, false);
    ASSERT_TRUE(traced.attached());
    throw std::runtime_error("unwinding failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_NE('t', state());
  // Released early, then destroyed: one detach only.
  {
    QVTracedThread traced(pid, false);
    ASSERT_TRUE(traced.attached());
    EXPECT_TRUE(traced.release());
    EXPECT_FALSE(traced.attached());
    EXPECT_NE('t', state());
    EXPECT_TRUE(traced.release());
  }
  // Back in its read, unharmed by the stops.
  EXPECT_TRUE(child->waitForState('S'));

  const std::string log = test::CaptureLog([&] {
    EXPECT_FALSE(QVTracedThread::attach(INT_MAX - 1, true));
    EXPECT_FALSE(QVTracedThread::detach(pid, true));  // not traced
  });
  EXPECT_THAT(log, HasSubstr("failed to attach to " + std::to_string(INT_MAX - 1) + ": "));
  EXPECT_THAT(log, HasSubstr("failed to detach from " + std::to_string(pid) + ": "));

  // SIGWINCH, ignored by the probe, keeps arriving while it is attached
  // over and over: whenever one comes before the attach's stop it is handed
  // on, and the attach still ends in that stop.
  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop) {
      ::kill(pid, SIGWINCH);
    }
  });
  int attached = 0;
  const std::string stormLog = test::CaptureLog([&] {
    for (int i = 0; i < 300; ++i) {
      attached += QVTracedThread(pid, true).attached() ? 1 : 0;
    }
  });
  stop = true;
  storm.join();
  EXPECT_EQ(300, attached) << stormLog;
  // Whatever was handed on was the storm's signal.
  const std::string expected =
      "passing along signal " + std::to_string(SIGWINCH) + " to thread " + std::to_string(pid) + " ";
  for (size_t at = stormLog.find("passing along signal "); at != std::string::npos;
       at = stormLog.find("passing along signal ", at + 1)) {
    EXPECT_EQ(expected, stormLog.substr(at, expected.size()));
  }
  EXPECT_TRUE(child->waitForState('S'));

  // The ELF-path accessor answers from the debugger's segment map, reached
  // through the address space's user pointer.
  QVUnwindAddressSpace space(&QVDebuggerLinux::_get_elf_path, debugger.get());
  ASSERT_TRUE(space.isValid());
  EXPECT_EQ(debugger.get(), QVUnwindAddressSpace::userPointer(space.space()));
  EXPECT_EQ(&space.accessors(), QVUnwindAddressSpace::accessorsForSpace(space.space()));

  // The reference: the probe's own code mapping, as /proc lists it.
  std::optional<QVProcMapsEntry> code;
  std::ifstream maps("/proc/" + std::to_string(child->pid()) + "/maps");
  const std::string probePath = std::filesystem::canonical(QV_CALL_CHAIN_PROBE_FP_G).string();
  for (std::string line; std::getline(maps, line);) {
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
  EXPECT_EQ(probePath, std::string(path));

  // Too small a buffer gets the path's beginning, unterminated.
  char shortPath[5];
  std::memset(shortPath, 'x', sizeof(shortPath));
  ASSERT_EQ(0, QVDebuggerLinux::_get_elf_path(space.space(), ip, &start, &offset, shortPath, 4));
  EXPECT_EQ(probePath.substr(0, 4), std::string(shortPath, 4));
  EXPECT_EQ('x', shortPath[4]);

  // No file mapping at the first page; nobody attached to a foreign space.
  EXPECT_EQ(-1, QVDebuggerLinux::_get_elf_path(space.space(), 0x10, &start, &offset, path, sizeof(path)));
  QVUnwindAddressSpace anonymous(nullptr, nullptr);
  ASSERT_TRUE(anonymous.isValid());
  EXPECT_EQ(-1, QVDebuggerLinux::_get_elf_path(anonymous.space(), ip, &start, &offset, path, sizeof(path)));
  QVUnwindAddressSpace::setUserPointer(anonymous.space(), debugger.get());
  EXPECT_EQ(0, QVDebuggerLinux::_get_elf_path(anonymous.space(), ip, &start, &offset, path, sizeof(path)));
}

// A snapshot copied while the thread could not run answers for the stack
// alone once frozen: changes made afterwards are not seen, and stack past
// its end is refused (overflowed) rather than read from memory that may
// have changed. Before it is frozen it grows from memory. Addresses beyond
// the reach are no stack and are always read from memory. This process's
// own heap stands in for a thread's stack.
TEST(UnwindAddressSpaceTest, FrozenSnapshotAnswersAloneForTheStack) {
  using Snapshot = QVUnwindAddressSpace::Snapshot;
  constexpr size_t kWords = 2 * Snapshot::kReach / sizeof(unw_word_t);
  std::vector<unw_word_t> stack(kWords, 1);
  static unw_word_t beyond = 1;
  // The stack pointer sits a red zone (128 bytes, 16 words) above the copy's start.
  const auto address = [&](size_t index) { return reinterpret_cast<unw_word_t>(&stack[index]); };
  const size_t inside = 100;
  const size_t past = Snapshot::kChunk / sizeof(unw_word_t) + 100;
  struct Case {
    const char* what;
    bool frozen;
    unw_word_t at;
    bool read;
    unw_word_t value;
    bool overflowed;
  };
  const Case cases[] = {
      {"inside, frozen", true, address(inside), true, 1, false},
      {"inside, not frozen", false, address(inside), true, 1, false},
      {"past the end, frozen", true, address(past), false, 0, true},
      {"past the end, not frozen", false, address(past), true, 2, false},
      {"no stack, frozen", true, reinterpret_cast<unw_word_t>(&beyond), true, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::fill(stack.begin(), stack.end(), 1);
    beyond = 1;
    Snapshot snapshot(::getpid(), 1, address(16), Snapshot::kChunk);
    if (c.frozen) {
      snapshot.freeze();
    }
    // What the thread does once let go.
    std::fill(stack.begin(), stack.end(), 2);
    beyond = 2;
    unw_word_t value = 0;
    EXPECT_EQ(c.read, snapshot.word(c.at, value));
    if (c.read) {
      EXPECT_EQ(c.value, value);
    }
    EXPECT_EQ(c.overflowed, snapshot.overflowed);
  }
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
  const unw_addr_space_t gone = b->space();
  b.reset();
  EXPECT_EQ(nullptr, QVUnwindAddressSpace::userPointer(gone));
  EXPECT_EQ(nullptr, QVUnwindAddressSpace::accessorsForSpace(gone));
}

// The trace switch is read once at load, so the traced run is a second
// copy of this program with "QV_TRACE_UNWIND" set, running only this test.
TEST_F(UnwindTest, TraceMessagesUnderTheTraceSwitch) {
  if (!QVDebuggerLinux::traceUnwind()) {
    EXPECT_EQ(0, test::RunThisProgramAgain("UnwindTest.TraceMessagesUnderTheTraceSwitch", "QV_TRACE_UNWIND=1"))
        << "the traced run failed";
    return;
  }
  ASSERT_NO_FATAL_FAILURE(Start(QV_CALL_CHAIN_PROBE_FP_G, {"block"}));
  std::shared_ptr<QVAbstractCallStack> stack;
  const std::string log = test::CaptureLog([&] { ASSERT_TRUE(Unwind(stack, 3)); });
  ASSERT_TRUE(stack);
  EXPECT_THAT(log, HasSubstr(std::string(80, '-')));
  std::ostringstream first;
  first << "[0] 0x" << std::hex << stack->frameAtIndex(0)->address();
  EXPECT_THAT(log, HasSubstr(first.str()));
  EXPECT_THAT(log, HasSubstr("[2] 0x"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("[3] 0x")));
}

// What sampling must never do to its target: leave it stopped when the
// sampler dies, take over its job control, or make its system calls fail.

// A sampler killed at any point of a tick (seizing, waiting for the stop,
// unwinding, detaching) leaves every thread of the target running: no stop
// signal was ever queued for the kernel's detach to leave behind. The delays
// step through a tick's phases; 40 rounds have caught a queued SIGSTOP every
// time. Then the user's SIGSTOP stops the target while it is being sampled,
// and stays in force across samples until SIGCONT resumes it.
TEST_F(UnwindTest, AKilledSamplerLeavesTheTargetRunningAndTheUsersStopHoldsWhileSampling) {
  const std::string results = SyscallResults();
  ChildProbe target{QV_SYSCALL_PROBE, {results}};
  ASSERT_TRUE(target.start());
  for (int round = 0; round < 40; ++round) {
    const pid_t sampler = ::fork();
    ASSERT_GE(sampler, 0);
    if (sampler == 0) {
      for (;;) {
        for (pid_t tid : Tids(target.pid())) {
          QVTracedThread held(tid, false, QVTracedThread::WaitStyle::Polled);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + 350 * round));
    ::kill(sampler, SIGKILL);
    int status = 0;
    ASSERT_EQ(sampler, ::waitpid(sampler, &status, 0));
    // The tracer's exit detached its tracees before it could be reaped.
    test::ExpectNotTraced(target.pid());
  }

  ASSERT_NO_FATAL_FAILURE(Discover(target.pid()));
  std::atomic<bool> done{false};
  std::atomic<long> ticks{0};
  std::thread sampler([&] {
    while (!done.load()) {
      QVDebugger::CallStackMap stacks;
      debugger->getProcessCallStacks(stacks, 64);
      ++ticks;
    }
  });
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(0, ::kill(target.pid(), SIGSTOP));
    EXPECT_TRUE(WaitForStopped(target.pid(), true)) << "round " << round;
    const long before = ticks.load();
    while (ticks.load() < before + 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(WaitForStopped(target.pid(), true)) << "sampling resumed a stopped target, round " << round;
    ASSERT_EQ(0, ::kill(target.pid(), SIGCONT));
    EXPECT_TRUE(WaitForStopped(target.pid(), false)) << "round " << round;
  }
  done.store(true);
  sampler.join();
  test::ExpectNotTraced(target.pid());
  ::unlink(results.c_str());
}

// Over 2,500 ticks: no call of the target
// fails with EINTR or returns before its timeout, whether the kernel would
// restart it or not.
TEST_F(UnwindTest, BlockedCallsSeeNoEintrAndFullTimeouts) {
  const std::string results = SyscallResults();
  ChildProbe target{QV_SYSCALL_PROBE, {results}};
  ASSERT_TRUE(target.start());
  ASSERT_NO_FATAL_FAILURE(Discover(target.pid()));
  // Back to back rather than paced: a busy machine stretches sleeps, and
  // denser ticks only make an interrupted call likelier.
  constexpr long kTicks = 2500;
  long stacksTaken = 0;
  for (long tick = 0; tick < kTicks; ++tick) {
    QVDebugger::CallStackMap stacks;
    debugger->getProcessCallStacks(stacks, 64);
    stacksTaken += static_cast<long>(stacks.size());
  }
  target.closeInput();
  int status = 0;
  ASSERT_TRUE(target.wait(10000, status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // The sleeping threads' stacks were taken too, not only the busy one's.
  EXPECT_GT(stacksTaken, kTicks * 3);
  std::ifstream in(results);
  std::string name;
  long calls = 0;
  long eintr = 0;
  long early = 0;
  int lines = 0;
  while (in >> name >> calls >> eintr >> early) {
    ++lines;
    EXPECT_GT(calls, 0) << name;
    EXPECT_EQ(0, eintr) << name << " failed with EINTR";
    EXPECT_EQ(0, early) << name << " returned before its timeout";
  }
  EXPECT_EQ(5, lines);
  ::unlink(results.c_str());
}

// The text the probe keeps at its "text" address (DiscoveryProbe.cpp).
const char kProbeText[] = "quorvel discovery probe text 0123456789abcdef";

// Maps files written into a fake /proc for this (live) process, read by a
// debugger of a plain process object.
class MapsFixtureTest : public test::RegistryTest {
 protected:
  // What reading the maps text logged.
  std::string ReadMaps(const std::string& maps) {
    tree.writeFile("/proc/" + std::to_string(getpid()) + "/maps", maps);
    QVSystemPaths::ScopedRoot root(tree.root());
    debugger = std::make_unique<QVDebuggerLinux>(*process, false, true);
    return test::CaptureLog([this] { debugger->sectionMap(true); });
  }

  test::FakeProcTree tree;
  std::shared_ptr<QVProcess> process = std::make_shared<QVProcess>(
      QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), getpid(), 1), "self", "");
  std::unique_ptr<QVDebuggerLinux> debugger;
};

TEST_F(MapsFixtureTest, TwoExecutableMappingsOfOneFilePlaceSectionsOnceWithTheFirstBias) {
  const std::string probe = std::filesystem::canonical(QV_DISCOVERY_PROBE_G).string();
  const std::string maps =
      "55d000000000-55d000001000 r--p 00000000 fe:00 100 " + probe + "\n" +
      "55d000001000-55d000002000 r-xp 00001000 fe:00 100 " + probe + "\n" +
      "55d000002000-55d000003000 rw-p 00002000 fe:00 100 " + probe + "\n" +
      "7f0000001000-7f0000002000 r-xp 00001000 fe:00 100 " + probe + "\n";
  ReadMaps(maps);

  const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(probe), process->architecture());
  const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(moduleId);
  ASSERT_TRUE(module);
  EXPECT_EQ(0x55d000001000u, debugger->moduleAddrMap().at(moduleId));

  // Every executable section once, shifted by the first mapping's bias.
  const unsigned long bias = 0x55d000001000u - 0x1000u - module->baseAddress();
  size_t executable = 0;
  for (const auto& section : module->sections()) {
    if (!section->isExecutable() || section->addressRange().length == 0) {
      continue;
    }
    ++executable;
    QVRange<unsigned long> range;
    const unsigned long location = section->addressRange().location + bias;
    EXPECT_EQ(section, debugger->sectionMap(false).valueAndRangeForLocation(location, range, true));
    EXPECT_EQ(location, range.location);
  }
  ASSERT_GT(executable, 0u);
  std::vector<QVRange<unsigned long>> ranges;
  debugger->sectionMap(false).getRangesInRange(QVRange<unsigned long>(0x7f0000000000u, 0x10000000), ranges);
  EXPECT_TRUE(ranges.empty());

  // Both executable mappings are segments; the others are not.
  const QVDebuggerLinux::SegmentMap segments = debugger->segmentMap();
  EXPECT_EQ(QVSegment(0x1000, probe), segments.valueForLocation(0x55d000001800u, true));
  EXPECT_EQ(QVSegment(0x1000, probe), segments.valueForLocation(0x7f0000001000u, true));
  EXPECT_FALSE(segments.containsValueForLocation(0x55d000000800u));
  EXPECT_FALSE(segments.containsValueForLocation(0x55d000002800u));
}

// Before the maps file exists its absence is reported.
TEST_F(MapsFixtureTest, AMissingFileIsReportedSuffixesAreCutAndUnusableLinesSkipped) {
  {
    QVSystemPaths::ScopedRoot root(tree.root());
    debugger = std::make_unique<QVDebuggerLinux>(*process, false, false);
    const std::string log = test::CaptureLog([this] { EXPECT_TRUE(debugger->sectionMap(true).isEmpty()); });
    EXPECT_NE(std::string::npos, log.find("non-existant module map " + tree.root() + "/proc/" +
                                          std::to_string(getpid()) + "/maps"));
  }
  const std::string probe = std::filesystem::canonical(QV_DISCOVERY_PROBE_NOG).string();
  const std::string maps =
      "10000-11000 r-xp 00000000 fe:00 7 /tmp/qv-gone-library.so (deleted)\n"
      "20000-21000 r-xp 00001000 fe:00 8 " + probe + ".#prelink#.12345\n"
      "30000-31000 r-xp 00000000 fe:00 9 /tmp/qv-missing-library.so\n"
      "41000-40000 r-xp 00000000 fe:00 10 /tmp/qv-backwards.so\n"
      "50000-51000 r-xp 00000000 00:05 11 /dev/zero\n"
      "60000-61000 r-xp 00000000 00:00 0 \n"
      "70000-71000 rw-p 00000000 fe:00 12 /tmp/qv-data.so\n"
      "not a maps line\n";
  const std::string log = ReadMaps(maps);

  const QVDebuggerLinux::SegmentMap segments = debugger->segmentMap();
  EXPECT_EQ("/tmp/qv-gone-library.so", segments.valueForLocation(0x10000, true).path);
  EXPECT_EQ(probe, segments.valueForLocation(0x20000, true).path);
  EXPECT_EQ("/tmp/qv-missing-library.so", segments.valueForLocation(0x30000, true).path);
  EXPECT_FALSE(segments.containsValueForLocation(0x40800));
  EXPECT_FALSE(segments.containsValueForLocation(0x50000));
  EXPECT_FALSE(segments.containsValueForLocation(0x60000));
  EXPECT_FALSE(segments.containsValueForLocation(0x70000));

  // The prelinked file is the module under its final name.
  const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(probe), process->architecture());
  EXPECT_EQ(0x20000u, debugger->moduleAddrMap().at(moduleId));

  // A deleted file that is gone is expected; a missing one is not.
  EXPECT_EQ(std::string::npos, log.find("failed to find /tmp/qv-gone-library.so"));
  EXPECT_NE(std::string::npos, log.find("failed to find /tmp/qv-missing-library.so module from "));
  EXPECT_NE(std::string::npos,
            log.find("skipping module with invalid address range 0x41000..0x40000 from 41000-40000"));
  EXPECT_NE(std::string::npos, log.find("skipping non-executable module (vm_flags=rw-p)"));
  EXPECT_NE(std::string::npos, log.find("skipping module without valid path: 60000-61000"));
}

TEST_F(MapsFixtureTest, VdsoLineGetsTheSharedVdsoModule) {
  ASSERT_NO_THROW(QVDebuggerLinux::_initVDSOModule());
  const std::shared_ptr<QVModule> vdso = QVDebuggerLinux::vdsoModule();
  if (!vdso) {
    GTEST_SKIP() << "this process has no vdso mapping";
  }
  ReadMaps("7ffd00000000-7ffd00002000 r-xp 00000000 00:00 0 [vdso]\n"
           "7ffe00000000-7ffe00002000 r-xp 00000000 00:00 0 [vdso]\n");
  // Placed once per pass at the first line (a real child's vdso is the
  // process test's case): the second vdso line adds nothing.
  EXPECT_EQ(0x7ffd00000000u, debugger->moduleAddrMap().at(vdso->moduleId()));
  std::vector<QVRange<unsigned long>> ranges;
  debugger->sectionMap(false).getRangesInRange(QVRange<unsigned long>(0x7ffe00000000u, 0x2000), ranges);
  EXPECT_TRUE(ranges.empty());
}

// A live child, discovered, with its debugger.
class LiveChildTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    ASSERT_TRUE(child.start());
    process = test::DiscoverProcess(child.pid());
    ASSERT_TRUE(process);
    debugger = std::dynamic_pointer_cast<QVDebuggerLinux>(process->debugger());
    ASSERT_TRUE(debugger);
    text = child.address("text");
    ASSERT_NE(0u, text);
  }
  void TearDown() override {
    // However the test went, none of the child's threads is left traced.
    for (pid_t tid : Tids(child.pid())) {
      EXPECT_NE('t', ChildProbe::taskState(child.pid(), tid)) << "thread " << tid;
    }
    RegistryTest::TearDown();
  }

  ChildProbe child{QV_DISCOVERY_PROBE_G};
  std::shared_ptr<QVProcess> process;
  std::shared_ptr<QVDebuggerLinux> debugger;
  uint64_t text = 0;
  QVThreadId Main() const { return QVThreadIdFromNativeIdentifier(child.pid(), child.pid()); }
};

TEST_F(LiveChildTest, ReadsMemoryPeeksWordsStopsEveryThreadAndFollowsSignals) {
  if (test::PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  char buffer[sizeof(kProbeText)] = {};
  ASSERT_TRUE(debugger->readMemory(buffer, text, sizeof(kProbeText), QVThreadId::invalid()));
  EXPECT_STREQ(kProbeText, buffer);
  const char replacement[] = "QUORVEL";
  ASSERT_TRUE(debugger->writeMemory(text, replacement, 7, QVThreadId::invalid()));
  // Through the main thread's own file this time.
  ASSERT_TRUE(debugger->readMemory(buffer, text, sizeof(kProbeText), Main()));
  EXPECT_EQ(std::string("QUORVEL discovery probe text"), std::string(buffer, 28));
  // Unmapped memory: nothing to read.
  EXPECT_FALSE(debugger->readMemory(buffer, 0x10, 8, QVThreadId::invalid()));

  // Whole words of a stopped thread only.
  ASSERT_TRUE(debugger->attachThread(Main()));
  EXPECT_EQ('t', ChildProbe::taskState(child.pid(), child.pid()));
  alignas(8) char words[24] = {};
  EXPECT_TRUE(debugger->_peekData(words, text, 16, child.pid()));
  EXPECT_EQ(std::string("QUORVEL discovery probe text", 16), std::string(words, 16));
  EXPECT_FALSE(debugger->_peekData(words + 1, text, 16, child.pid()));  // unaligned buffer
  EXPECT_FALSE(debugger->_peekData(words, text, 6, child.pid()));       // partial word
  EXPECT_FALSE(debugger->_peekData(words, 0x10, 4, child.pid()));       // unmapped
  EXPECT_TRUE(debugger->detachThread(Main()));
  EXPECT_FALSE(debugger->detachThread(Main()));  // no longer traced

  // Attaching the process stops every thread until the detach.
  ASSERT_TRUE(debugger->attach());
  const std::vector<pid_t> tids = Tids(child.pid());
  ASSERT_EQ(2u, tids.size());
  for (pid_t tid : tids) {
    EXPECT_EQ('t', ChildProbe::taskState(child.pid(), tid));
  }
  EXPECT_TRUE(debugger->detach());

  // Suspended and resumed by signal, unwound, then terminated.
  EXPECT_TRUE(debugger->isThreadRunning(Main()));
  EXPECT_TRUE(debugger->suspendProcess());
  EXPECT_TRUE(child.waitForState('T'));
  EXPECT_TRUE(debugger->resumeProcess());
  EXPECT_TRUE(child.waitForState('S'));

  std::shared_ptr<QVAbstractCallStack> stack;
  EXPECT_TRUE(debugger->getThreadCallStack(Main(), stack, 16));
  ASSERT_TRUE(stack);
  EXPECT_GT(stack->size(), 0);

  EXPECT_TRUE(debugger->isProcessRunning());
  EXPECT_TRUE(debugger->terminateProcess());
  child.finish();
  EXPECT_FALSE(debugger->isProcessRunning());
  EXPECT_FALSE(debugger->isThreadRunning(Main()));
  EXPECT_FALSE(process->isRunning());
  EXPECT_FALSE(debugger->suspendProcess());
}

// The per-thread /proc files a tick reads through descriptors kept open.

// What a tick reads of a thread, for stat, schedstat and syscall texts as
// the kernel writes them and as a hostile or truncated tree might. The real
// /proc read the same way gives each sample of qvprof's recording tests its
// state, processor and CPU time.
TEST(QVTaskFiles, ReadsStateProcessorRunTimeAndTheSyscallLine) {
  struct Case {
    const char* name;
    std::string stat;
    std::string schedstat;
    char state;          // '\0': no stat at all
    int processor;       // -1: not known
    int64_t runtime;     // -1: not known
  };
  test::FakeProcTree::Task task;
  task.pid = 4000;
  task.state = 'R';
  const std::string kernelStat = test::FakeProcTree::statText(task);  // processor 1 (field 39)
  task.name = "odd) (name 3";
  const std::string oddName = test::FakeProcTree::statText(task);
  const Case cases[] = {
      {"as the kernel writes it", kernelStat, "987654321 1200 7\n", 'R', 1, 987654321},
      {"a name with parentheses and spaces", oddName, "5 0 0\n", 'R', 1, 5},
      {"a line that ends before the processor", kernelStat.substr(0, kernelStat.find(" 17 1 0 0")),
       "garbage\n", 'R', -1, -1},
      {"no stat and an empty schedstat", "", "", '\0', -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::FakeProcTree tree;
    tree.writeFile("/proc/4000/stat", c.stat);
    tree.writeFile("/proc/4000/schedstat", c.schedstat);
    QVSystemPaths::ScopedRoot root(tree.root());
    QVTaskFiles files(4000);
    const auto stat = files.stat();
    EXPECT_EQ(c.state, stat ? stat->state : '\0');
    EXPECT_EQ(c.processor, files.lastProcessor());
    const auto runtime = files.runtimeNanos();
    EXPECT_EQ(c.runtime, runtime ? static_cast<int64_t>(*runtime) : -1);
  }
}

}  // namespace
}  // namespace Quorvel
