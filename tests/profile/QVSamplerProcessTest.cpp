#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "Linux/QVProcessLinux.h"
#include "Linux/QVTracedThread.h"
#include "QVAbstractCallFrame.h"
#include "QVAbstractCallStackTenure.h"
#include "QVCallTree.h"
#include "QVCallTreeNode.h"
#include "QVCallTreeRootNode.h"
#include "QVContext.h"
#include "QVErrorManager.h"
#include "QVLog.h"
#include "QVMachine.h"
#include "QVModule.h"
#include "QVNotificationIds.h"
#include "QVProcess.h"
#include "QVSamplerProcess.h"
#include "QVSessionConfig.h"
#include "QVSessionDataCallStackTenures.h"
#include "QVSessionProfile.h"
#include "QVSymbol.h"
#include "QVTaskInfoLinux.h"
#include "QVThread.h"
#include "support/CallChainProbe.h"
#include "support/ChildProbe.h"

namespace Quorvel {
namespace {

using test::CallChainProbe;
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

std::shared_ptr<QVSessionConfig> Config(double interval) {
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  config->timerConfig->interval = interval;
  return config;
}

std::shared_ptr<QVProcess> Discover(pid_t pid) {
  return QVProcess::processWithId(QVProcessLinux::updateProcessList(pid, false), false, false);
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

void ExpectNotTraced(pid_t pid) {
  std::unordered_set<QVThreadId> ids;
  QVTaskInfoLinux::getThreadIdsForProcess(QVProcessIdFromNativeIdentifier(pid), ids, false);
  for (const QVThreadId& id : ids) {
    const char state = ChildProbe::taskState(pid, static_cast<pid_t>(id.nativeIdentifier()));
    EXPECT_NE('t', state) << "thread " << id.nativeIdentifier() << " left traced";
    EXPECT_NE('T', state) << "thread " << id.nativeIdentifier() << " left stopped";
  }
}

class QVSamplerProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { Flush(); }
  void TearDown() override {
    sampler.reset();
    Flush();
  }
  std::unique_ptr<QVSamplerProcess> sampler = std::make_unique<QVSamplerProcess>(Config(0.005));
};

TEST_F(QVSamplerProcessTest, RefusedTargetsLeaveNoTarget) {
  std::string log;
  StartCaptureLog();

  // This test program.
  EXPECT_FALSE(sampler->setTargetProcess(Discover(::getpid())));
  EXPECT_FALSE(sampler->targetProcess());

  // init: refused by its id, before anything touches it.
  const std::shared_ptr<QVProcess> init = Discover(1);
  if (init && !init->executablePath().empty()) {
    EXPECT_FALSE(sampler->setTargetProcess(init));
    EXPECT_FALSE(sampler->targetProcess());
  }

  // A kernel thread has no executable.
  const std::shared_ptr<QVProcess> kthreadd = Discover(2);
  if (kthreadd) {
    EXPECT_TRUE(kthreadd->executablePath().empty());
    EXPECT_FALSE(sampler->setTargetProcess(kthreadd));
    EXPECT_FALSE(sampler->targetProcess());
  }

  // A probe that has exited.
  CallChainProbe gone(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(gone.start());
  const std::shared_ptr<QVProcess> goneProcess = Discover(gone.pid());
  ASSERT_TRUE(goneProcess);
  const pid_t gonePid = gone.pid();
  ::kill(gonePid, SIGKILL);
  int status = 0;
  ASSERT_TRUE(gone.wait(5000, status));
  EXPECT_FALSE(sampler->setTargetProcess(goneProcess));
  EXPECT_FALSE(sampler->targetProcess());

  // A process of another architecture (as the model describes it).
  CallChainProbe foreign(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(foreign.start());
  const std::shared_ptr<QVProcess> foreignProcess = Discover(foreign.pid());
  ASSERT_TRUE(foreignProcess);
  const QVArchitecture other =
      LocalMachineArchitecture() == QVArchitectureAArch64 ? QVArchitectureX86_64 : QVArchitectureAArch64;
  foreignProcess->setArchitecture(other);
  EXPECT_FALSE(sampler->setTargetProcess(foreignProcess));
  EXPECT_FALSE(sampler->targetProcess());

  StopCaptureLog(log);
  EXPECT_NE(std::string::npos, log.find("unable to set target process to self")) << log;
  if (init && !init->executablePath().empty()) {
    EXPECT_NE(std::string::npos, log.find("unable to set target process to init process")) << log;
  }
  if (kthreadd) {
    EXPECT_NE(std::string::npos, log.find("unable to set target process to kernel thread or system service")) << log;
  }
  EXPECT_NE(std::string::npos, log.find("unable to set target process to " + goneProcess->name() + " [" +
                                        std::to_string(gonePid) + "] - process has exited"))
      << log;
  EXPECT_NE(std::string::npos, log.find("unable to target a " + ArchitectureToPrettyString(other) +
                                        " process running on a " +
                                        ArchitectureToPrettyString(LocalMachineArchitecture()) + " system"))
      << log;
}

TEST_F(QVSamplerProcessTest, ConfigurationAndTargetAreFixedWhileRecording) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  EXPECT_DOUBLE_EQ(0.005, sampler->samplingInterval());
  EXPECT_TRUE(sampler->setConfig(Config(0.02)));
  EXPECT_DOUBLE_EQ(0.02, sampler->samplingInterval());

  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(probe.start());
  const std::shared_ptr<QVProcess> process = Discover(probe.pid());
  ASSERT_TRUE(sampler->setTargetProcess(process));
  EXPECT_EQ(process, sampler->targetProcess());
  ASSERT_TRUE(sampler->start());

  std::string log;
  StartCaptureLog();
  EXPECT_FALSE(sampler->setConfig(Config(0.001)));
  EXPECT_DOUBLE_EQ(0.02, sampler->samplingInterval());
  EXPECT_FALSE(sampler->setTargetProcess(nullptr));
  EXPECT_EQ(process, sampler->targetProcess());
  StopCaptureLog(log);
  EXPECT_NE(std::string::npos, log.find("unable to set target process while active")) << log;

  EXPECT_TRUE(sampler->stop());
  ExpectNotTraced(probe.pid());
  // Cleared once idle.
  EXPECT_TRUE(sampler->setTargetProcess(nullptr));
  EXPECT_FALSE(sampler->targetProcess());
}

TEST_F(QVSamplerProcessTest, StartFailsWithoutAUsableTarget) {
  std::string log;
  StartCaptureLog();
  EXPECT_FALSE(sampler->start());
  EXPECT_FALSE(sampler->isActive());
  StopCaptureLog(log);
  EXPECT_NE(std::string::npos, log.find("failed to start profiling - no target process set")) << log;

  // A target chosen while alive that is gone by the start.
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(probe.start());
  const std::shared_ptr<QVProcess> process = Discover(probe.pid());
  ASSERT_TRUE(sampler->setTargetProcess(process));
  const pid_t pid = probe.pid();
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_TRUE(probe.wait(5000, status));
  StartCaptureLog();
  EXPECT_FALSE(sampler->start());
  StopCaptureLog(log);
  EXPECT_FALSE(sampler->isActive());
  EXPECT_NE(std::string::npos, log.find("failed to start profiling - target process " + process->name() + " [" +
                                        std::to_string(pid) + "] has exited"))
      << log;
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

// The heaviest child named `name` of `node`, or null.
QVCallTreeNode::NodePtr Child(const QVCallTreeNode& node, const std::string& name) {
  std::vector<QVCallTreeNode::NodePtr> children;
  node.getChildren(children);
  QVCallTreeNode::NodePtr best;
  for (const QVCallTreeNode::NodePtr& child : children) {
    if (child->symbolName() == name && (!best || child->totalWeight() > best->totalWeight())) {
      best = child;
    }
  }
  return best;
}

// The first node named `name` found breadth-first under `node`.
QVCallTreeNode::NodePtr Find(const QVCallTreeNode& node, const std::string& name) {
  std::vector<QVCallTreeNode::NodePtr> level;
  node.getChildren(level);
  while (!level.empty()) {
    std::vector<QVCallTreeNode::NodePtr> next;
    for (const QVCallTreeNode::NodePtr& candidate : level) {
      if (candidate->symbolName() == name) {
        return candidate;
      }
      std::vector<QVCallTreeNode::NodePtr> children;
      candidate->getChildren(children);
      next.insert(next.end(), children.begin(), children.end());
    }
    level.swap(next);
  }
  return nullptr;
}

std::string Describe(const QVCallTreeNode& node) {
  std::ostringstream text;
  node.getDescription(text);
  return text.str();
}

// Every build of the probe, recorded in spin mode: each thread's samples go
// to its own chain, top-down and bottom-up.
class QVSamplerProcessRecordingTest : public QVSamplerProcessTest,
                                      public ::testing::WithParamInterface<CallChainProbe::Binary> {};

TEST_P(QVSamplerProcessRecordingTest, SamplesLandInTheExpectedChains) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  CallChainProbe probe(GetParam().path, {"spin", "20"});
  ASSERT_TRUE(probe.start());
  const std::shared_ptr<QVProcess> process = Discover(probe.pid());
  ASSERT_TRUE(sampler->setTargetProcess(process));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 200; })) << sampler->sampleCount();
  EXPECT_TRUE(sampler->stop());
  EXPECT_EQ(QVSessionRecorder::StopReasonUser, sampler->stopReason());
  ExpectNotTraced(probe.pid());

  const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
  ASSERT_TRUE(profile);
  const std::shared_ptr<QVSessionDataCallStackTenures> data = profile->callStackData();
  ASSERT_TRUE(data);
  ASSERT_GE(data->size(), 200u);
  EXPECT_LT(data->beginTick(), data->endTick());
  EXPECT_LT(data->beginTime(), data->endTime());
  // Two threads per tick, each tenure running from the previous tick to its
  // own, in user mode, on processor 0.
  uint64_t previousEnd = 0;
  for (const auto& sample : data->samples()) {
    EXPECT_LE(sample->beginTick(), sample->endTick());
    EXPECT_LE(previousEnd, sample->endTick());
    previousEnd = sample->endTick();
    EXPECT_EQ(QVContext::StateUser, sample->context().state());
    EXPECT_EQ(0, sample->context().processorIndex());
    EXPECT_EQ(process->processId(), sample->context().threadId().asProcessId());
  }

  const QVThreadId mainThread = QVThreadIdFromNativeIdentifier(probe.pid(), probe.pid());
  const QVThreadId threadB = QVThreadIdFromNativeIdentifier(probe.pid(), static_cast<int>(probe.value("thread_b")));

  // Top-down: main -> outer_a -> middle_a -> inner_a holds most of the main
  // thread's weight, thread_b -> work_b -> leaf_b most of the second's.
  QVCallTree tree(data->samples(), QVCallTree::tree, QVCallTree::symbol);
  const QVCallTree::RootPtr mainRoot = tree.rootNodeForThreadId(mainThread);
  const QVCallTree::RootPtr rootB = tree.rootNodeForThreadId(threadB);
  ASSERT_TRUE(mainRoot);
  ASSERT_TRUE(rootB);
  const QVCallTreeNode::NodePtr main = Find(*mainRoot, "main");
  ASSERT_TRUE(main) << Describe(*mainRoot);
  const QVCallTreeNode::NodePtr outerA = Child(*main, "outer_a");
  ASSERT_TRUE(outerA) << Describe(*mainRoot);
  const QVCallTreeNode::NodePtr middleA = Child(*outerA, "middle_a");
  ASSERT_TRUE(middleA) << Describe(*mainRoot);
  const QVCallTreeNode::NodePtr innerA = Child(*middleA, "inner_a");
  ASSERT_TRUE(innerA) << Describe(*mainRoot);
  EXPECT_GE(innerA->totalWeight(), 0.8 * mainRoot->totalWeight()) << Describe(*mainRoot);
  const QVCallTreeNode::NodePtr threadBNode = Find(*rootB, "thread_b");
  ASSERT_TRUE(threadBNode) << Describe(*rootB);
  const QVCallTreeNode::NodePtr workB = Child(*threadBNode, "work_b");
  ASSERT_TRUE(workB) << Describe(*rootB);
  const QVCallTreeNode::NodePtr leafB = Child(*workB, "leaf_b");
  ASSERT_TRUE(leafB) << Describe(*rootB);
  EXPECT_GE(leafB->totalWeight(), 0.8 * rootB->totalWeight()) << Describe(*rootB);

  // Bottom-up: the sampled functions first, their callers below them.
  QVCallTree leaves(data->samples(), QVCallTree::leaf, QVCallTree::symbol);
  const QVCallTree::RootPtr mainLeaves = leaves.rootNodeForThreadId(mainThread);
  ASSERT_TRUE(mainLeaves);
  const QVCallTreeNode::NodePtr innerLeaf = Child(*mainLeaves, "inner_a");
  ASSERT_TRUE(innerLeaf) << Describe(*mainLeaves);
  EXPECT_GE(innerLeaf->totalWeight(), 0.5 * mainLeaves->totalWeight()) << Describe(*mainLeaves);
  const QVCallTreeNode::NodePtr middleCaller = Child(*innerLeaf, "middle_a");
  ASSERT_TRUE(middleCaller) << Describe(*mainLeaves);
  const QVCallTreeNode::NodePtr outerCaller = Child(*middleCaller, "outer_a");
  ASSERT_TRUE(outerCaller) << Describe(*mainLeaves);
  ASSERT_TRUE(Child(*outerCaller, "main")) << Describe(*mainLeaves);
  EXPECT_GE(outerCaller->totalWeight(), 0.9 * innerLeaf->totalWeight());
}

INSTANTIATE_TEST_SUITE_P(Builds, QVSamplerProcessRecordingTest, ::testing::ValuesIn(CallChainProbe::binaries()),
                         [](const ::testing::TestParamInfo<CallChainProbe::Binary>& info) {
                           return info.param.label;
                         });

TEST_F(QVSamplerProcessTest, TargetExitingEndsTheRecordingAndKeepsItsSamples) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_NOFP_G, {"exit-after", "700"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return !sampler->isActive(); }));
  int status = 0;
  ASSERT_TRUE(probe.wait(5000, status));
  EXPECT_TRUE(WIFEXITED(status));

  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_TRUE(errors.testWarningId(QVSamplerProcessWarningTargetProcessExited));
  EXPECT_EQ(0u, errors.errorCount());
  EXPECT_EQ(QVSessionRecorder::StopReasonUser, sampler->stopReason());
  const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
  ASSERT_TRUE(profile && profile->callStackData());
  // About 700 ms at 5 ms: far more than a handful survive.
  EXPECT_GE(profile->callStackData()->size(), 20u);
}

TEST_F(QVSamplerProcessTest, ARunningTargetThatCannotBeSampledEndsItWithTheError) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"block"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 5; }));
  {
    // Traced by someone else (here this test), the probe's only thread
    // cannot be attached: the tick gets no stack from a running target.
    QVTracedThread holder(probe.pid(), false);
    ASSERT_TRUE(holder.attached());
    ASSERT_TRUE(WaitFor(10.0, [&] { return !sampler->isActive(); }));
  }
  EXPECT_EQ(QVSessionRecorder::StopReasonError, sampler->stopReason());
  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_TRUE(errors.testErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess));
  EXPECT_EQ(0u, errors.warningCount());
  // What was taken before is kept.
  const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
  ASSERT_TRUE(profile && profile->callStackData());
  EXPECT_GE(profile->callStackData()->size(), 5u);
  ExpectNotTraced(probe.pid());
}

TEST_F(QVSamplerProcessTest, ThreadsComingAndGoingBetweenTicks) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"churn", "20"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 100; })) << sampler->sampleCount();
  EXPECT_TRUE(sampler->isActive());
  EXPECT_TRUE(sampler->stop());
  ExpectNotTraced(probe.pid());
  QVErrorManager errors;
  sampler->getSessionErrors(errors, false);
  EXPECT_EQ(0u, errors.errorCount());
  EXPECT_EQ(0u, errors.warningCount());

  const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
  ASSERT_TRUE(profile && profile->callStackData());
  // Every tick has the main thread; workers appear when a tick meets one.
  std::unordered_set<QVThreadId> threads;
  size_t mainSamples = 0;
  const QVThreadId mainThread = QVThreadIdFromNativeIdentifier(probe.pid(), probe.pid());
  for (const auto& sample : profile->callStackData()->samples()) {
    threads.insert(sample->context().threadId());
    mainSamples += sample->context().threadId() == mainThread ? 1 : 0;
    EXPECT_GT(sample->size(), 0);
  }
  EXPECT_GE(mainSamples, 50u);
  EXPECT_GE(threads.size(), 2u);
}

TEST_F(QVSamplerProcessTest, SampleLimitEndsTheRecording) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  auto config = Config(0.002);
  config->sampleLimitEnable = true;
  config->sampleLimit = 40;
  ASSERT_TRUE(sampler->setConfig(config));
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_NOG, {"spin", "20"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return !sampler->isActive(); }));
  EXPECT_EQ(QVSessionRecorder::StopReasonSampleLimit, sampler->stopReason());
  // Two threads per tick: the tick that reaches 40 may hold one more.
  EXPECT_GE(sampler->sampleCount(), 40u);
  EXPECT_LE(sampler->sampleCount(), 41u);
  ExpectNotTraced(probe.pid());
}

TEST_F(QVSamplerProcessTest, WithoutCallStacksEachSampleIsOneFrame) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  ASSERT_TRUE(sampler->setCollectCallStacks(false));
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_FP_G, {"spin", "20"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 20; }));
  EXPECT_TRUE(sampler->stop());
  const std::shared_ptr<QVSessionProfile>& profile = sampler->collect();
  ASSERT_TRUE(profile && profile->callStackData());
  for (const auto& sample : profile->callStackData()->samples()) {
    EXPECT_EQ(1, sample->size());
  }
}

TEST_F(QVSamplerProcessTest, AbortDropsTheSamplesAndReleasesTheTarget) {
  if (PtraceBlocked()) {
    GTEST_SKIP() << "ptrace attach is disabled on this machine";
  }
  CallChainProbe probe(QV_CALL_CHAIN_PROBE_NOFP_NOG, {"spin", "20"});
  ASSERT_TRUE(probe.start());
  ASSERT_TRUE(sampler->setTargetProcess(Discover(probe.pid())));
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 10; }));
  sampler->abort();
  EXPECT_FALSE(sampler->isActive());
  EXPECT_EQ(QVSessionRecorder::StopReasonAbort, sampler->stopReason());
  EXPECT_EQ(0u, sampler->sampleCount());
  ExpectNotTraced(probe.pid());
  // A sampler destroyed while recording lets its target run on.
  ASSERT_TRUE(sampler->start());
  ASSERT_TRUE(WaitFor(10.0, [&] { return sampler->sampleCount() >= 10; }));
  sampler.reset();
  ExpectNotTraced(probe.pid());
  EXPECT_EQ(0, ::kill(probe.pid(), 0));
}

}  // namespace
}  // namespace Quorvel
