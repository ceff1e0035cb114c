#include "model/QVThread.h"

#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVProcessDiscovery.h"
#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
#include "support/ScriptedDiscovery.h"
#include "support/TestDebugger.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using boost::posix_time::time_from_string;
using test::TestDebugger;

QVProcessId CurrentProcessId(int64_t pid, uint64_t start = 0) {
  return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, start);
}

class QVThreadTest : public test::ModelTest {
 protected:

  // A registered process with a debugger the test controls.
  std::shared_ptr<TestDebugger> RegisterProcessWithDebugger(const QVProcessId& processId) {
    auto process = std::make_shared<QVProcess>(processId, "p", "");
    auto debugger = std::make_shared<TestDebugger>(*process, true);
    process->setDebugger(debugger);
    QVProcess::registerProcess(process);
    processes_.push_back(process);
    return debugger;
  }

 private:
  std::vector<std::shared_ptr<QVProcess>> processes_;
};

// The registry's rules (the same object again, a flush) are those the
// process test checks; a thread's refusals say so in words of their own.
TEST_F(QVThreadTest, RegistrationRejectsInvalidAndDuplicateIdsWithExactMessages) {
  EXPECT_EQ("invalid thread id @ QVThread:80",
            test::ThrownQVException([] { QVThread::registerThread(std::make_shared<QVThread>()); }));
  const QVThreadId id = QVThreadId::uniqueThreadId(CurrentProcessId(100), 101, 0);
  QVThread::registerThread(std::make_shared<QVThread>(id));
  EXPECT_EQ("duplicate thread id: " + test::Text(id) + " @ QVThread:84",
            test::ThrownQVException([&] { QVThread::registerThread(std::make_shared<QVThread>(id)); }));
  QVThread::flushRegisteredThreads();
  EXPECT_FALSE(QVThread::threadWithId(id, false, false));
}

TEST_F(QVThreadTest, LookupsPreferTheLaterStartAndUpdateWhatTheyAreAskedTo) {
  auto discovery = std::make_shared<test::ScriptedDiscovery>();
  QVProcessDiscovery::install(discovery);
  // Two threads with tid 7 in process 1 (the tid was reused), one in process 2.
  auto older = std::make_shared<QVThread>(QVThreadId::uniqueThreadId(CurrentProcessId(1), 7, 1),
                                          time_from_string("2020-01-01 00:00:00"),
                                          time_from_string("2020-01-01 00:00:05"));
  auto newer = std::make_shared<QVThread>(QVThreadId::uniqueThreadId(CurrentProcessId(1), 7, 2),
                                          time_from_string("2020-01-01 00:00:10"), boost::posix_time::ptime());
  auto elsewhere = std::make_shared<QVThread>(QVThreadId::uniqueThreadId(CurrentProcessId(2), 7, 3),
                                              time_from_string("2021-01-01 00:00:00"), boost::posix_time::ptime());
  QVThread::registerThread(newer);
  QVThread::registerThread(elsewhere);
  QVThread::registerThread(older);

  EXPECT_EQ(newer, QVThread::threadWithNativeIdentifier(1, 7, false, false));
  EXPECT_EQ(elsewhere, QVThread::threadWithNativeIdentifier(2, 7, false, false));
  EXPECT_EQ(elsewhere, QVThread::threadWithNativeIdentifier(-1, 7, false, false)) << "-1 means any process";
  EXPECT_FALSE(QVThread::threadWithNativeIdentifier(3, 7, false, false));
  EXPECT_EQ(0, discovery->threadListUpdates);
  EXPECT_EQ(newer, QVThread::threadWithNativeIdentifier(1, 7, true, false));
  EXPECT_EQ(1, discovery->threadListUpdates);

  // A thread looked for by id with update asks for its own process's threads.
  const QVThreadId id = QVThreadId::uniqueThreadId(CurrentProcessId(110), 111, 0);
  discovery->thread = std::make_shared<QVThread>(id);
  const int updates = discovery->processThreadUpdates;
  EXPECT_FALSE(QVThread::threadWithId(id, false, false));
  EXPECT_EQ(updates, discovery->processThreadUpdates);
  EXPECT_EQ(discovery->thread, QVThread::threadWithId(id, true, false));
  EXPECT_EQ(updates + 1, discovery->processThreadUpdates);
  EXPECT_EQ(CurrentProcessId(110), discovery->lastProcess);
}

TEST_F(QVThreadTest, GetThreadIdsForProcessFiltersByProcessAndRunningAndCallStacksCoverTheRunningOnes) {
  const QVProcessId processId = CurrentProcessId(200);
  auto debugger = RegisterProcessWithDebugger(processId);
  const QVThreadId running = QVThreadId::uniqueThreadId(processId, 200, 0);
  const QVThreadId idle = QVThreadId::uniqueThreadId(processId, 201, 0);
  const QVThreadId exited = QVThreadId::uniqueThreadId(processId, 202, 0);
  const QVThreadId stranger = QVThreadId::uniqueThreadId(CurrentProcessId(300), 300, 0);
  for (const QVThreadId& id : {running, idle, exited, stranger}) {
    QVThread::registerThread(std::make_shared<QVThread>(id));
  }
  debugger->setThreadRunning(running, true);
  debugger->setThreadRunning(exited, true);
  QVThread::threadWithId(exited, false, false)->setExitTime(time_from_string("2020-05-05 05:05:05"));

  std::unordered_set<QVThreadId> ids{stranger};  // must be cleared
  QVThread::getThreadIdsForProcess(ids, processId, false, false, false);
  EXPECT_EQ((std::unordered_set<QVThreadId>{running, idle, exited}), ids);
  QVThread::getThreadIdsForProcess(ids, processId, true, false, false);
  EXPECT_EQ((std::unordered_set<QVThreadId>{running}), ids) << "an exited thread ran according to its debugger";
  QVThread::getThreadIdsForProcess(ids, QVProcessId::invalid(), false, false, false);
  EXPECT_EQ(4u, ids.size());
  // The process hands out the thread objects of the same choice.
  std::vector<std::shared_ptr<QVThread>> threads{nullptr};  // must be cleared
  QVProcess::processWithId(processId, false, false)->getThreads(threads, true, false);
  ASSERT_EQ(1u, threads.size());
  EXPECT_EQ(running, threads[0]->threadId());
  QVProcess::processWithId(processId, false, false)->getThreads(threads, false, false);
  EXPECT_EQ(3u, threads.size());

  // The process's call stacks cover its running threads; the test debugger
  // unwinds nothing, so each fails once.
  QVDebugger::CallStackMap stacks;
  const std::string log = test::CaptureLog([&] { EXPECT_FALSE(debugger->getProcessCallStacks(stacks, 64)); });
  EXPECT_TRUE(stacks.empty());
  EXPECT_EQ(1, debugger->stackQueries());
  std::ostringstream expected;
  expected << "WARNING failed to get callstack for running thread " << running << " [QVDebugger:";
  EXPECT_NE(std::string::npos, log.find(expected.str())) << log;
}

TEST_F(QVThreadTest, DebuggerComesFromTheProcessAndIsCached) {
  const QVProcessId processId = CurrentProcessId(400);
  QVThread thread(QVThreadId::uniqueThreadId(processId, 401, 0));

  // No process yet: a warning with the thread id, and no debugger.
  const std::string log = test::CaptureLog([&] {
    EXPECT_FALSE(thread.debugger());
    EXPECT_FALSE(thread.isRunning());
  });
  std::ostringstream expected;
  expected << "WARNING unable to find process for thread " << thread.threadId() << " [QVThread:151]";
  EXPECT_NE(std::string::npos, log.find(expected.str())) << log;

  auto debugger = RegisterProcessWithDebugger(processId);
  EXPECT_EQ(debugger, thread.debugger());
  debugger->setThreadRunning(thread.threadId(), true);
  EXPECT_TRUE(thread.isRunning());
  // Once found, the debugger stays even when the registry forgets the process.
  QVProcess::flushRegisteredProcesses();
  EXPECT_EQ(debugger, thread.debugger());
}

TEST_F(QVThreadTest, DescriptionAndArchiveRoundTripSkippingOlderKeys) {
  QVThread thread(QVThreadId::uniqueThreadId(CurrentProcessId(500, 99), 501, 77),
                  time_from_string("2022-02-02 02:02:02.5"), time_from_string("2022-02-02 03:00:00"));
  thread.setName("worker");
  thread.setArchitecture(QVArchitectureX86);
  thread.mutableProperties().setString(QVThread::PROPERTY_THREAD_TYPE, QVThread::VAL_THREAD_USER_MAIN);

  std::string document = test::ArchiveToString(thread, "Thread");
  auto decoded = test::UnarchiveFromString<QVThread>(document, "Thread");
  // The decoded thread writes the same document: every part survived.
  EXPECT_EQ(document, test::ArchiveToString(*decoded, "Thread"));

  const size_t at = document.find("<StartTime>");
  ASSERT_NE(std::string::npos, at) << document;
  document.insert(at, "<UserTime>0x5</UserTime><SystemTime>0x6</SystemTime>");
  decoded = test::UnarchiveFromString<QVThread>(document, "Thread");
  EXPECT_EQ(thread.startTime(), decoded->startTime());
  EXPECT_EQ("worker", decoded->name());

  // The description is the native id in hexadecimal, then decimal; the
  // stream's number format is left as it was.
  auto described = std::make_shared<QVThread>(QVThreadId::uniqueThreadId(CurrentProcessId(1), 1234, 0));
  std::ostringstream os;
  os << std::dec << *described << "|" << described << "|" << std::shared_ptr<QVThread>() << "|" << 10;
  EXPECT_EQ("0x4d2 (1234)|0x4d2 (1234)||10", os.str());
}

}  // namespace
}  // namespace Quorvel
