#include "Linux/perf/QVPerfTaskInfoManager.h"

#include <gtest/gtest.h>

#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "support/Registries.h"

using namespace Quorvel;

namespace {

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
