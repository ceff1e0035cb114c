#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/QVErrorManager.h"
#include "calltree/QVCallTree.h"
#include "calltree/QVCallTreeNode.h"
#include "calltree/QVCallTreeRootNode.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
#include "Linux/unwind/QVTracedThread.h"
#include "model/QVProcess.h"
#include "notify/QVNotificationIds.h"
#include "proc/QVTaskInfoLinux.h"
#include "recording/QVSamplerProcess.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "support/CallChainProbe.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "system/QVMachine.h"

namespace Quorvel {
namespace {

using test::CallChainProbe;
using test::DiscoverProcess;
using ::testing::HasSubstr;

std::shared_ptr<QVSessionConfig> Config(double interval) {
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  config->timerConfig->interval = interval;
  return config;
}

// Waits until `condition` holds, for at most `seconds`.
template <typename Condition>
bool WaitFor(double seconds, Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class QVSamplerProcessTest : public test::RegistryTest {
 protected:
  void TearDown() override {
    sampler.reset();
    RegistryTest::TearDown();
  }

  // Starts the probe, makes it the target and starts recording.
  void StartRecording(const std::string& program, const std::vector<std::string>& arguments) {
    probe = std::make_unique<CallChainProbe>(program, arguments);
    ASSERT_TRUE(probe->start());
    ASSERT_TRUE(sampler->setTargetProcess(DiscoverProcess(probe->pid())));
    ASSERT_TRUE(sampler->start());
  }

  bool WaitForSamples(size_t count) {
    return WaitFor(10.0, [&] { return sampler->sampleCount() >= count; });
  }

  std::shared_ptr<QVSessionDataCallStackTenures> CollectedStacks() {
    const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
    return profile ? profile->callStackData() : nullptr;
  }

  std::unique_ptr<QVSamplerProcess> sampler = std::make_unique<QVSamplerProcess>(Config(0.005));
  std::unique_ptr<CallChainProbe> probe;
};

// Recording needs ptrace.
class QVSamplerProcessRecordingTest : public QVSamplerProcessTest {
 protected:
  void SetUp() override {
    QVSamplerProcessTest::SetUp();
    if (test::PtraceBlocked()) {
      GTEST_SKIP() << "ptrace attach is disabled on this machine";
    }
  }
};

TEST_F(QVSamplerProcessTest, StartFailsWithoutAUsableTargetAndRefusedTargetsLeaveNoTarget) {
  std::string log = test::CaptureLog([&] { EXPECT_FALSE(sampler->start()); });
  EXPECT_FALSE(sampler->isActive());
  EXPECT_THAT(log, HasSubstr("failed to start profiling - no target process set"));

  // A target chosen while alive that is gone by the start, and refused
  // once it is known to be gone.
  CallChainProbe gone(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(gone.start());
  const std::shared_ptr<QVProcess> goneProcess = DiscoverProcess(gone.pid());
  ASSERT_TRUE(goneProcess);
  ASSERT_TRUE(sampler->setTargetProcess(goneProcess));
  const pid_t gonePid = gone.pid();
  ::kill(gonePid, SIGKILL);
  int status = 0;
  ASSERT_TRUE(gone.wait(5000, status));
  log = test::CaptureLog([&] { EXPECT_FALSE(sampler->start()); });
  EXPECT_FALSE(sampler->isActive());
  EXPECT_THAT(log, HasSubstr("failed to start profiling - target process " + goneProcess->name() + " [" +
                             std::to_string(gonePid) + "] has exited"));
  ASSERT_TRUE(sampler->setTargetProcess(nullptr));

  const std::shared_ptr<QVProcess> init = DiscoverProcess(1);
  const bool initRefusable = init && !init->executablePath().empty();
  const std::shared_ptr<QVProcess> kthreadd = DiscoverProcess(2);
  // A process of another architecture (as the model describes it).
  CallChainProbe foreign(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(foreign.start());
  const std::shared_ptr<QVProcess> foreignProcess = DiscoverProcess(foreign.pid());
  ASSERT_TRUE(foreignProcess);
  const QVArchitecture other =
      LocalMachineArchitecture() == QVArchitectureAArch64 ? QVArchitectureX86_64 : QVArchitectureAArch64;
  foreignProcess->setArchitecture(other);

  std::vector<std::shared_ptr<QVProcess>> refused = {DiscoverProcess(::getpid()), goneProcess, foreignProcess};
  if (initRefusable) {
    refused.push_back(init);  // refused by its id, before anything touches it
  }
  if (kthreadd) {
    EXPECT_TRUE(kthreadd->executablePath().empty()) << "a kernel thread has no executable";
    refused.push_back(kthreadd);
  }
  log = test::CaptureLog([&] {
    for (const auto& process : refused) {
      EXPECT_FALSE(sampler->setTargetProcess(process)) << process->name();
      EXPECT_FALSE(sampler->targetProcess());
    }
  });
  EXPECT_THAT(log, HasSubstr("unable to set target process to self"));
  if (initRefusable) {
    EXPECT_THAT(log, HasSubstr("unable to set target process to init process"));
  }
  if (kthreadd) {
    EXPECT_THAT(log, HasSubstr("unable to set target process to kernel thread or system service"));
  }
  EXPECT_THAT(log, HasSubstr("unable to set target process to " + goneProcess->name() + " [" +
                             std::to_string(gonePid) + "] - process has exited"));
  EXPECT_THAT(log, HasSubstr("unable to target a " + ArchitectureToPrettyString(other) + " process running on a " +
                             ArchitectureToPrettyString(LocalMachineArchitecture()) + " system"));
}

TEST_F(QVSamplerProcessTest, MessagesOfItsIdentifiers) {
  std::ostringstream error;
  EXPECT_TRUE(sampler->getErrorMessage(error, QVSamplerProcessErrorUnableToSampleTargetProcess));
  EXPECT_EQ("Unable to sample the target process. \nPlease select another process for profiling.", error.str());
  std::ostringstream warning;
  EXPECT_TRUE(sampler->getWarningMessage(warning, QVSamplerProcessWarningTargetProcessExited));
  EXPECT_EQ("The target process exited.", warning.str());
  // Others go to the base sampler.
  std::ostringstream base;
  EXPECT_TRUE(sampler->getWarningMessage(base, QVSamplerWarningSampleLimitReached));
  EXPECT_FALSE(base.str().empty());
}

// Follows a chain of names down a call tree, taking the heaviest child of
// each name; the first name is looked for breadth-first below `root`. The
// nodes found, one per name, or fewer when a name is missing.
std::vector<QVCallTreeNode::NodePtr> Chain(const QVCallTreeNode& root, const std::vector<std::string>& names) {
  std::vector<QVCallTreeNode::NodePtr> level;
  root.getChildren(level);
  std::vector<QVCallTreeNode::NodePtr> found;
  while (!level.empty() && found.empty()) {
    std::vector<QVCallTreeNode::NodePtr> next;
    for (const QVCallTreeNode::NodePtr& candidate : level) {
      if (candidate->symbolName() == names.front()) {
        found.push_back(candidate);
        break;
      }
      std::vector<QVCallTreeNode::NodePtr> children;
      candidate->getChildren(children);
      next.insert(next.end(), children.begin(), children.end());
    }
    level.swap(next);
  }
  for (size_t i = 1; i < names.size() && found.size() == i; ++i) {
    std::vector<QVCallTreeNode::NodePtr> children;
    found.back()->getChildren(children);
    QVCallTreeNode::NodePtr best;
    for (const QVCallTreeNode::NodePtr& child : children) {
      if (child->symbolName() == names[i] && (!best || child->totalWeight() > best->totalWeight())) {
        best = child;
      }
    }
    if (best) {
      found.push_back(best);
    }
  }
  return found;
}

// Every build of the probe, recorded in spin mode: each thread's samples go
// to its own chain. The bottom-up view of the same stacks is the call tree's
// reference-model test and qvprof's leaf report of the probe.
class QVSamplerProcessBuildTest : public QVSamplerProcessRecordingTest,
                                  public ::testing::WithParamInterface<CallChainProbe::Binary> {};

TEST_P(QVSamplerProcessBuildTest, SamplesLandInTheExpectedChains) {
  ASSERT_NO_FATAL_FAILURE(StartRecording(GetParam().path, {"spin", "20"}));
  ASSERT_TRUE(WaitForSamples(200)) << sampler->sampleCount();
  EXPECT_TRUE(sampler->stop());
  EXPECT_EQ(QVSessionRecorder::StopReasonUser, sampler->stopReason());
  test::ExpectNotTraced(probe->pid());

  const auto data = CollectedStacks();
  ASSERT_TRUE(data);
  ASSERT_GE(data->size(), 200u);
  EXPECT_LT(data->beginTick(), data->endTick());
  EXPECT_LT(data->beginTime(), data->endTime());
  // Two threads per tick, each tenure running from the previous tick to its
  // own, in user mode, on a processor of this machine. Only the start's
  // tick begins at 0; every later one begins where an earlier tick ended.
  uint64_t previousEnd = 0;
  std::unordered_set<uint64_t> ends;
  size_t fromStart = 0;
  const int processors = static_cast<int>(::sysconf(_SC_NPROCESSORS_CONF));
  for (const auto& sample : data->samples()) {
    EXPECT_LE(sample->beginTick(), sample->endTick());
    EXPECT_LE(previousEnd, sample->endTick());
    previousEnd = sample->endTick();
    fromStart += sample->beginTick() == 0;
    EXPECT_TRUE(sample->beginTick() == 0 || ends.count(sample->beginTick()) == 1) << sample->beginTick();
    ends.insert(sample->endTick());
    EXPECT_EQ(QVContext::StateUser, sample->context().state());
    EXPECT_GE(sample->context().processorIndex(), 0);
    EXPECT_LT(sample->context().processorIndex(), processors);
    EXPECT_EQ(sampler->targetProcess()->processId(), sample->context().threadId().asProcessId());
  }
  EXPECT_LE(fromStart, 2u);
  const QVThreadId mainThread = QVThreadIdFromNativeIdentifier(probe->pid(), probe->pid());
  const QVThreadId threadB = QVThreadIdFromNativeIdentifier(probe->pid(), static_cast<int>(probe->value("thread_b")));

  // Top-down: main -> outer_a -> middle_a -> inner_a holds most of the main
  // thread's weight, thread_b -> work_b -> leaf_b most of the second's.
  QVCallTree tree(data->samples(), QVCallTree::tree, QVCallTree::symbol);
  for (const auto& expected : {std::make_pair(mainThread, std::vector<std::string>{"main", "outer_a", "middle_a",
                                                                                  "inner_a"}),
                               std::make_pair(threadB, std::vector<std::string>{"thread_b", "work_b", "leaf_b"})}) {
    const QVCallTree::RootPtr root = tree.rootNodeForThreadId(expected.first);
    ASSERT_TRUE(root);
    const auto chain = Chain(*root, expected.second);
    ASSERT_EQ(expected.second.size(), chain.size()) << test::Text(*root);
    EXPECT_GE(chain.back()->totalWeight(), 0.8 * root->totalWeight()) << test::Text(*root);
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, QVSamplerProcessBuildTest, ::testing::ValuesIn(CallChainProbe::binaries()),
                         [](const ::testing::TestParamInfo<CallChainProbe::Binary>& info) {
                           return info.param.label;
                         });

TEST_F(QVSamplerProcessRecordingTest, TargetExitingEndsTheRecordingAndKeepsItsSamples) {
  ASSERT_NO_FATAL_FAILURE(StartRecording(QV_CALL_CHAIN_PROBE_NOFP_G, {"exit-after", "700"}));
  ASSERT_TRUE(WaitFor(10.0, [&] { return !sampler->isActive(); }));
  int status = 0;
  ASSERT_TRUE(probe->wait(5000, status));
  EXPECT_TRUE(WIFEXITED(status));
  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_TRUE(errors.testWarningId(QVSamplerProcessWarningTargetProcessExited));
  EXPECT_EQ(0u, errors.errorCount());
  EXPECT_EQ(QVSessionRecorder::StopReasonUser, sampler->stopReason());
  const auto data = CollectedStacks();
  ASSERT_TRUE(data);
  // About 700 ms at 5 ms: far more than a handful survive.
  EXPECT_GE(data->size(), 20u);
}

TEST_F(QVSamplerProcessRecordingTest, ConfigAndTargetAreFixedWhileRecordingAndATargetThatCannotBeSampledEndsIt) {
  EXPECT_TRUE(sampler->setConfig(Config(0.02)));
  EXPECT_DOUBLE_EQ(0.02, sampler->samplingInterval());
  ASSERT_NO_FATAL_FAILURE(StartRecording(QV_CALL_CHAIN_PROBE_FP_G, {"block"}));
  const std::shared_ptr<QVProcess> process = sampler->targetProcess();
  ASSERT_TRUE(process);
  EXPECT_EQ(probe->pid(), process->processId().nativeIdentifier());
  const std::string log = test::CaptureLog([&] {
    EXPECT_FALSE(sampler->setConfig(Config(0.001)));
    EXPECT_DOUBLE_EQ(0.02, sampler->samplingInterval());
    EXPECT_FALSE(sampler->setTargetProcess(nullptr));
    EXPECT_EQ(process, sampler->targetProcess());
  });
  EXPECT_THAT(log, HasSubstr("unable to set target process while active"));
  ASSERT_TRUE(WaitForSamples(5));
  {
    // Traced by someone else (here this test), the probe's only thread
    // cannot be attached: the tick gets no stack from a running target.
    QVTracedThread holder(probe->pid(), false);
    ASSERT_TRUE(holder.attached());
    ASSERT_TRUE(WaitFor(10.0, [&] { return !sampler->isActive(); }));
  }
  EXPECT_EQ(QVSessionRecorder::StopReasonError, sampler->stopReason());
  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_TRUE(errors.testErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess));
  EXPECT_EQ(0u, errors.warningCount());
  // What was taken before is kept.
  const auto data = CollectedStacks();
  ASSERT_TRUE(data);
  EXPECT_GE(data->size(), 5u);
  test::ExpectNotTraced(probe->pid());
  // The target is cleared once idle.
  EXPECT_TRUE(sampler->setTargetProcess(nullptr));
  EXPECT_FALSE(sampler->targetProcess());
}

TEST_F(QVSamplerProcessRecordingTest, ThreadsComingAndGoingBetweenTicks) {
  ASSERT_NO_FATAL_FAILURE(StartRecording(QV_CALL_CHAIN_PROBE_FP_G, {"churn", "20"}));
  ASSERT_TRUE(WaitForSamples(100)) << sampler->sampleCount();
  EXPECT_TRUE(sampler->isActive());
  EXPECT_TRUE(sampler->stop());
  test::ExpectNotTraced(probe->pid());
  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_EQ(0u, errors.errorCount());
  EXPECT_EQ(0u, errors.warningCount());

  const auto data = CollectedStacks();
  ASSERT_TRUE(data);
  // Every tick has the main thread; workers appear when a tick meets one.
  std::unordered_set<QVThreadId> threads;
  size_t mainSamples = 0;
  const QVThreadId mainThread = QVThreadIdFromNativeIdentifier(probe->pid(), probe->pid());
  for (const auto& sample : data->samples()) {
    threads.insert(sample->context().threadId());
    mainSamples += sample->context().threadId() == mainThread ? 1 : 0;
    EXPECT_GT(sample->size(), 0);
  }
  EXPECT_GE(mainSamples, 50u);
  EXPECT_GE(threads.size(), 2u);
}

// Where a sample limit ends the recording is qvprof's recording test's case.
TEST_F(QVSamplerProcessRecordingTest, AbortDropsTheSamplesAndADestroyedSamplerReleasesTheTarget) {
  ASSERT_NO_FATAL_FAILURE(StartRecording(QV_CALL_CHAIN_PROBE_NOFP_NOG, {"spin", "20"}));
  ASSERT_TRUE(WaitForSamples(10));
  sampler->abort();
  EXPECT_FALSE(sampler->isActive());
  EXPECT_EQ(QVSessionRecorder::StopReasonAbort, sampler->stopReason());
  EXPECT_EQ(0u, sampler->sampleCount());
  test::ExpectNotTraced(probe->pid());
  // A sampler destroyed while recording lets its target run on.
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitForSamples(10));
  sampler.reset();
  test::ExpectNotTraced(probe->pid());
  EXPECT_EQ(0, ::kill(probe->pid(), 0));
}

}  // namespace
}  // namespace Quorvel
