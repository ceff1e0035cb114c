#include "model/QVProcessList.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVProcessDiscovery.h"
#include "model/QVThread.h"
#include "support/Registries.h"
#include "support/ScriptedDiscovery.h"
#include "support/TestDebugger.h"

namespace Quorvel {
namespace {

using test::TestDebugger;

QVProcessId CurrentProcessId(int64_t pid) {
  return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, 0);
}

// Counts notifications and lets a test wait for the next one.
class NotificationCounter {
 public:
  void operator()(const QVProcessList&) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  bool waitFor(int count, std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class QVProcessListTest : public test::ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    QVProcessDiscovery::install(discovery);
  }

  // A process of this machine whose debugger reports it running.
  std::shared_ptr<QVProcess> MakeRunning(int64_t pid) {
    auto process = std::make_shared<QVProcess>(CurrentProcessId(pid), "p", "");
    process->setDebugger(std::make_shared<TestDebugger>(*process, true));
    return process;
  }

  std::shared_ptr<test::ScriptedDiscovery> discovery = std::make_shared<test::ScriptedDiscovery>();
};

TEST_F(QVProcessListTest, UpdateReportsChangesAndNotifiesEveryObserverOnlyThen) {
  auto first = MakeRunning(10);
  QVProcess::registerProcess(first);
  auto counter = std::make_shared<NotificationCounter>();
  QVProcessList list;
  list.observers.addObserver([counter](const QVProcessList& changed) { (*counter)(changed); });

  EXPECT_TRUE(list.update()) << "the first look finds the running process";
  EXPECT_EQ(1, counter->count());
  EXPECT_EQ(1, discovery->scans) << "update asks the platform for new processes";
  std::unordered_set<QVProcessId> ids;
  list.getProcessIds(ids);
  EXPECT_EQ((std::unordered_set<QVProcessId>{first->processId()}), ids);

  EXPECT_FALSE(list.update()) << "nothing started or ended";
  EXPECT_EQ(1, counter->count());

  // A process that starts, seen by discovery.
  auto second = MakeRunning(11);
  discovery->queue(second);
  EXPECT_TRUE(list.update());
  EXPECT_EQ(2, counter->count());
  list.getProcessIds(ids);
  EXPECT_EQ((std::unordered_set<QVProcessId>{first->processId(), second->processId()}), ids);

  // A process that ends.
  first->setExitTime(boost::posix_time::time_from_string("2020-01-01 00:00:00"));
  EXPECT_TRUE(list.update());
  EXPECT_EQ(3, counter->count());
  list.getProcessIds(ids);
  EXPECT_EQ((std::unordered_set<QVProcessId>{second->processId()}), ids);

  // Processes of other machines and processes not running are not watched.
  auto foreign = std::make_shared<QVProcess>(
      QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("qvtest-elsewhere", "elsewhere"), 12, 0), "f", "");
  foreign->setDebugger(std::make_shared<TestDebugger>(*foreign, true));
  QVProcess::registerProcess(foreign);
  QVProcess::registerProcess(std::make_shared<QVProcess>(CurrentProcessId(13), "no debugger", ""));
  EXPECT_FALSE(list.update());
  EXPECT_EQ(3, counter->count());
}

TEST_F(QVProcessListTest, TimerUpdatesOnlyOnceAnIntervalIsSet) {
  QVProcessList list;
  auto counter = std::make_shared<NotificationCounter>();
  list.observers.addObserver([counter](const QVProcessList& changed) { (*counter)(changed); });
  QVProcess::registerProcess(MakeRunning(30));

  // 20 ms keeps the test short; the wait allows for a loaded machine.
  list.setAutoUpdateInterval(0.02);
  EXPECT_DOUBLE_EQ(0.02, list.autoUpdateInterval());
  ASSERT_TRUE(counter->waitFor(1, std::chrono::seconds(10))) << "the timer never updated the list";

  // A process starting later is noticed by the timer as well.
  discovery->queue(MakeRunning(31));
  ASSERT_TRUE(counter->waitFor(2, std::chrono::seconds(10))) << "the timer missed a new process";
  std::unordered_set<QVProcessId> ids;
  list.getProcessIds(ids);
  EXPECT_EQ((std::unordered_set<QVProcessId>{CurrentProcessId(30), CurrentProcessId(31)}), ids);

  list.setAutoUpdateInterval(0);
  EXPECT_DOUBLE_EQ(0.0, list.autoUpdateInterval());
  const int scans = discovery->scans;
  // An update already under way when the timer stopped may still finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LE(discovery->scans, scans + 1) << "the timer kept updating after it was stopped";
}

}  // namespace
}  // namespace Quorvel
