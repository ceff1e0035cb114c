#include "time/QVTimer.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "time/QVTime.h"

namespace Quorvel {
namespace {

using std::chrono::milliseconds;

// Counts expiries and lets the test wait for a number of them without
// sleeping for a fixed time.
class ExpiryCounter {
 public:
  void tick() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int count, milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }
  int count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// The schedule on computed time points, so that a loaded machine cannot
// change what is checked.
TEST(QVTimerTest, DueExpiryKeepsTheGridAndSkipsWholeMissedPeriods) {
  using std::chrono::microseconds;
  const QVTimer::Clock::time_point origin{};
  const microseconds period(1000);
  struct Case {
    int64_t deadline;  // microseconds after origin
    int64_t now;
    int64_t due;
  };
  const Case cases[] = {
      {1000, 1000, 1000},  // on time
      {1000, 1999, 1000},  // late by less than a period: still this deadline
      {1000, 2000, 2000},  // one whole period missed: fire for the later point
      {1000, 6500, 6000},  // five missed, mid-interval: the latest grid point only
      {3000, 3000000, 3000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    const auto due = QVTimer::dueExpiry(origin + microseconds(c.deadline), origin + microseconds(c.now), period);
    EXPECT_EQ(due, origin + microseconds(c.due));
    // The next deadline, due + period, always lies after now: no burst.
    EXPECT_GT(due + period, origin + microseconds(c.now));
  }
}

TEST(QVTimerTest, RepeatingTimerNeverFiresEarlyNorTwiceForOneGridPoint) {
  constexpr int kTicks = 20;
  constexpr uint64_t kIntervalNanos = 10000000;  // 10 ms
  std::vector<uint64_t> ticks;
  std::mutex mutex;
  ExpiryCounter counter;
  QVTimer timer(kIntervalNanos * 1e-9, true);
  timer.expiryDelegate.addObserver([&](QVTimer&) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ticks.push_back(TimeNanos());
    }
    counter.tick();
  });
  const uint64_t start = TimeNanos();
  timer.start();
  ASSERT_TRUE(counter.waitFor(kTicks, milliseconds(60000)));
  timer.cancel();

  std::lock_guard<std::mutex> lock(mutex);
  for (int k = 0; k < kTicks; ++k) {
    // Each expiry takes a grid point of its own and none comes before its
    // point; the grid starts at or after `start`. So the k-th expiry cannot
    // come before point k + 1, however late the machine runs any of them.
    // (Comparing neighbours instead would fail a late tick followed by a
    // punctual one.)
    EXPECT_GE(ticks[k] - start, (k + 1) * kIntervalNanos) << "tick " << k << " early or doubled";
  }
}

TEST(QVTimerTest, CancelFromInsideCallbackStopsFurtherExpiries) {
  ExpiryCounter counter;
  QVTimer timer(0.005, true);
  timer.expiryDelegate.addObserver([&](QVTimer& expired) {
    counter.tick();
    if (counter.count() == 3) {
      expired.cancel();  // must not wait for itself
    }
  });
  timer.start();
  ASSERT_TRUE(counter.waitFor(3, milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(counter.count(), 3);
  EXPECT_FALSE(timer.isRunning());
}

TEST(QVTimerTest, CancelFromAnotherThreadWaitsForRunningCallbackButRequestCancelDoesNot) {
  std::promise<void> entered;
  std::atomic<bool> finished{false};
  std::atomic<int> calls{0};
  QVTimer timer(0.005, true);
  timer.expiryDelegate.addObserver([&](QVTimer&) {
    if (calls.fetch_add(1) == 0) {
      entered.set_value();
      std::this_thread::sleep_for(milliseconds(100));
      finished = true;
    }
  });
  timer.start();
  entered.get_future().wait();
  timer.cancel();
  EXPECT_TRUE(finished) << "cancel returned while the callback was still running";
  const int callsAtCancel = calls;
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(calls, callsAtCancel);
  EXPECT_FALSE(timer.isRunning());

  // The recorder's pattern: the callback takes a lock that the canceller
  // already holds, so waiting there would deadlock; requestCancel does not.
  std::mutex recorderLock;
  std::promise<void> lockedEntered;
  std::atomic<int> lockedCalls{0};
  std::atomic<int> completed{0};
  QVTimer locked(0.005, true);
  locked.expiryDelegate.addObserver([&](QVTimer&) {
    if (lockedCalls.fetch_add(1) == 0) lockedEntered.set_value();
    std::lock_guard<std::mutex> lock(recorderLock);
    ++completed;
  });
  std::unique_lock<std::mutex> held(recorderLock);
  locked.start();
  lockedEntered.get_future().wait();
  locked.requestCancel();
  EXPECT_FALSE(locked.isRunning());
  held.unlock();
  locked.cancel();  // now waits for the callback to finish
  EXPECT_EQ(lockedCalls, 1);
  EXPECT_EQ(completed, 1);
}

TEST(QVTimerTest, DestroyWhileRunningJoinsAndStops) {
  ExpiryCounter counter;
  std::atomic<bool> inCallback{false};
  {
    QVTimer timer(0.001, true);
    timer.expiryDelegate.addObserver([&](QVTimer&) {
      inCallback = true;
      std::this_thread::sleep_for(milliseconds(5));
      counter.tick();
      inCallback = false;
    });
    timer.start();
    // Destroyed once it has fired, however late a loaded machine runs it.
    ASSERT_TRUE(counter.waitFor(1, milliseconds(5000)));
  }
  EXPECT_FALSE(inCallback.load()) << "destructor returned while a callback ran";
  const int callsAtDestruction = counter.count();
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(counter.count(), callsAtDestruction);
}

TEST(QVTimerTest, OneShotRestartedWhileRunningFiresOnceOnItsOwnThread) {
  std::atomic<uint64_t> firedAt{0};
  std::thread::id observerThread;
  ExpiryCounter counter;
  QVTimer timer(0.1, false);
  timer.expiryDelegate.addObserver([&](QVTimer& expired) {
    EXPECT_EQ(&expired, &timer);
    observerThread = std::this_thread::get_id();
    firedAt = TimeNanos();
    counter.tick();
  });
  timer.start();
  std::this_thread::sleep_for(milliseconds(60));
  const uint64_t restarted = TimeNanos();
  timer.start();
  ASSERT_TRUE(counter.waitFor(1, milliseconds(2000)));
  EXPECT_GE(firedAt.load(), restarted + 100000000u);
  // The replaced schedule never fires, and a one-shot stops after its expiry.
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(counter.count(), 1);
  EXPECT_FALSE(timer.isRunning());
  EXPECT_NE(observerThread, std::this_thread::get_id());
}

TEST(QVTimerTest, SetIntervalReschedulesARunningTimerAndIntervalsBelowTheResolutionNeverFire) {
  ExpiryCounter counter;
  QVTimer timer(10.0, false);
  timer.expiryDelegate.addObserver([&](QVTimer&) { counter.tick(); });
  timer.cancel();  // before start, and twice after a stop below: harmless
  timer.start();
  EXPECT_TRUE(timer.isRunning());
  // Pulled in from ten seconds to twenty milliseconds after start.
  timer.setInterval(0.02);
  EXPECT_TRUE(counter.waitFor(1, milliseconds(2000)));

  // An interval of 0 stops a running timer.
  timer.setInterval(0.01);
  timer.start();
  timer.setInterval(0.0);
  EXPECT_FALSE(timer.isRunning());
  timer.cancel();
  timer.cancel();
  // 1e-10 and 1e-300 seconds would truncate to a zero period.
  std::vector<std::unique_ptr<QVTimer>> timers;
  for (double seconds : {0.0, -1.0, 1e-10, 1e-300, 0.999e-6, std::nan("")}) {
    timers.push_back(std::make_unique<QVTimer>(seconds, true));
    timers.back()->expiryDelegate.addObserver([&](QVTimer&) { counter.tick(); });
    timers.back()->start();
    EXPECT_FALSE(timers.back()->isRunning()) << seconds;
  }
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(counter.count(), 1);
}

}  // namespace
}  // namespace Quorvel
