#include "Linux/perf/QVPerfTaskInfoManager.h"

#include <gtest/gtest.h>

#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "support/Registries.h"

using namespace Quorvel;

namespace {

// Model tests: the platform's discovery is set aside, so only what the
// manager registers exists. Numbers are arbitrary; none is looked up live.
class QVPerfTaskInfoManagerTest : public test::ModelTest {
 protected:
  QVPerfTaskInfoManager manager{nullptr};
};

TEST_F(QVPerfTaskInfoManagerTest, CommRecordThenSchedSwitchFindTheSameThread) {
  const QVPerfTaskInfo* comm = manager.findAddTaskInfo(100, 101, "a");
  ASSERT_NE(comm, nullptr);
  const QVThreadId threadId = comm->threadId;
  EXPECT_EQ(threadId.nativeIdentifier(), 101);
  EXPECT_EQ(threadId.asProcessId().nativeIdentifier(), 100);
  const QVPerfTaskInfo* sched = manager.findAddTaskInfo(-1, 101, "a");
  ASSERT_NE(sched, nullptr);
  EXPECT_EQ(sched->threadId, threadId);
  EXPECT_EQ(sched->pid, 100);
}

TEST_F(QVPerfTaskInfoManagerTest, SchedSwitchOfAnUnknownTaskCreatesNothing) {
  EXPECT_EQ(manager.findAddTaskInfo(-1, 200, "b"), nullptr);
  EXPECT_EQ(QVThread::threadWithNativeIdentifier(-1, 200, false, false), nullptr);
}

TEST_F(QVPerfTaskInfoManagerTest, SampleOfAnUnknownProcessRegistersProcessAndThread) {
  const QVPerfTaskInfo* sample = manager.findAddTaskInfo(300, 301, "");
  ASSERT_NE(sample, nullptr);
  EXPECT_NE(QVProcess::processWithId(sample->threadId.asProcessId(), false, false), nullptr);
  EXPECT_NE(QVThread::threadWithId(sample->threadId, false, false), nullptr);
  // Asked again, the same info comes back and nothing new is made.
  EXPECT_EQ(manager.findAddTaskInfo(300, 301, ""), sample);
}

TEST_F(QVPerfTaskInfoManagerTest, TidAloneFindsTheExitedTask) {
  const QVPerfTaskInfo* exited = manager.findAddTaskInfo(400, 401, "");
  ASSERT_NE(exited, nullptr);
  const QVPerfTaskInfo* byTid = manager.findAddTaskInfo(-1, 401, "");
  ASSERT_NE(byTid, nullptr);
  EXPECT_EQ(byTid->pid, 400);
  EXPECT_EQ(byTid->threadId, exited->threadId);
  EXPECT_EQ(manager.findAddTaskInfo(-1, 402, ""), nullptr);
}

TEST_F(QVPerfTaskInfoManagerTest, LaterRecordsFillInTheComm) {
  ASSERT_NE(manager.findAddTaskInfo(500, 501, ""), nullptr);
  const QVPerfTaskInfo* named = manager.findAddTaskInfo(500, 501, "worker");
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->comm, "worker");
  const QVPerfTaskInfo* byComm = manager.findAddTaskInfo(-1, 501, "worker");
  ASSERT_NE(byComm, nullptr);
  EXPECT_EQ(byComm->threadId, named->threadId);
}

}  // namespace
