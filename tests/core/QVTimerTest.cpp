#include "QVTimer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QVTime.h"

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

TEST(QVTimerTest, OneShotFiresOnceOnItsOwnThread) {
  ExpiryCounter counter;
  std::thread::id observerThread;
  QVTimer timer(0.01, false);
  timer.expiryDelegate.addObserver([&](QVTimer& expired) {
    EXPECT_EQ(&expired, &timer);
    observerThread = std::this_thread::get_id();
    counter.tick();
  });
  timer.start();
  ASSERT_TRUE(counter.waitFor(1, milliseconds(2000)));
  // Long enough for several more 10 ms periods had it wrongly repeated.
  std::this_thread::sleep_for(milliseconds(60));
  EXPECT_EQ(counter.count(), 1);
  EXPECT_FALSE(timer.isRunning());
  EXPECT_NE(observerThread, std::this_thread::get_id());
}

TEST(QVTimerTest, RepeatingKeepsCadenceWithoutDrift) {
  constexpr int kTicks = 50;
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
    // Work inside the callback: a timer that rescheduled from the callback's
    // return would slip at least 1 ms against the grid on every tick, so
    // over 50 ticks its phases would spread evenly across the interval.
    std::this_thread::sleep_for(milliseconds(1));
    counter.tick();
  });
  const uint64_t start = TimeNanos();
  timer.start();
  ASSERT_TRUE(counter.waitFor(kTicks, milliseconds(10000)));
  timer.cancel();

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GE(ticks.size(), static_cast<size_t>(kTicks));
  std::vector<uint64_t> phases;
  uint64_t previousSlot = 0;
  for (int k = 0; k < kTicks; ++k) {
    // The timer's own start is at or after `start`, so no expiry may come
    // before its grid point, and each grid point fires at most once even
    // when a loaded machine makes the timer skip some.
    const uint64_t since = ticks[k] - start;
    const uint64_t slot = since / kIntervalNanos;
    EXPECT_GE(slot, k == 0 ? 1u : previousSlot + 1) << "tick " << k << " early or doubled";
    previousSlot = slot;
    phases.push_back(since % kIntervalNanos);
  }
  // Lateness behind the grid, robust against a few stalls: the median of an
  // even spread would be 5 ms; a timer on the grid is late only by its
  // wake-up latency.
  std::nth_element(phases.begin(), phases.begin() + kTicks / 2, phases.end());
  EXPECT_LT(phases[kTicks / 2], 2500000u) << "median lateness behind the grid";
}

TEST(QVTimerTest, OverrunSkipsMissedTicksInsteadOfBursting) {
  constexpr uint64_t kIntervalNanos = 10000000;  // 10 ms
  std::vector<uint64_t> ticks;
  std::mutex mutex;
  ExpiryCounter counter;
  QVTimer timer(kIntervalNanos * 1e-9, true);
  timer.expiryDelegate.addObserver([&](QVTimer&) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ticks.push_back(TimeNanos());
      first = ticks.size() == 1;
    }
    if (first) {
      // The first tick comes at 10 ms and returns at about 65 ms: five
      // deadlines missed, and the return falls mid-interval.
      std::this_thread::sleep_for(milliseconds(55));
    }
    counter.tick();
  });
  const uint64_t start = TimeNanos();
  timer.start();
  ASSERT_TRUE(counter.waitFor(4, milliseconds(3000)));
  timer.cancel();
  std::lock_guard<std::mutex> lock(mutex);
  // One catch-up tick at once, then back on the original grid: the third
  // tick waits for the 70 ms deadline. A bursting timer would deliver the
  // missed ticks back to back, microseconds apart.
  EXPECT_GE(ticks[2], start + 7 * kIntervalNanos);
  EXPECT_GE(ticks[2] - ticks[1], kIntervalNanos / 10) << "missed ticks were delivered in a burst";
  EXPECT_GE(ticks[3] - ticks[2], kIntervalNanos / 2);
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

TEST(QVTimerTest, CancelFromAnotherThreadWaitsForRunningCallback) {
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
}

TEST(QVTimerTest, RequestCancelDoesNotWaitForCallbackHoldingCallersLock) {
  // The recorder's pattern: the callback takes a lock that the canceller
  // already holds. Waiting there would deadlock.
  std::mutex recorderLock;
  std::promise<void> entered;
  std::atomic<int> calls{0};
  std::atomic<int> completed{0};
  QVTimer timer(0.005, true);
  timer.expiryDelegate.addObserver([&](QVTimer&) {
    if (calls.fetch_add(1) == 0) {
      entered.set_value();
    }
    std::lock_guard<std::mutex> lock(recorderLock);
    ++completed;
  });
  std::unique_lock<std::mutex> held(recorderLock);
  timer.start();
  entered.get_future().wait();
  timer.requestCancel();
  EXPECT_FALSE(timer.isRunning());
  held.unlock();
  timer.cancel();  // now waits for the callback to finish
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(completed, 1);
}

TEST(QVTimerTest, DestroyWhileRunningJoinsAndStops) {
  std::atomic<int> calls{0};
  std::atomic<bool> inCallback{false};
  std::atomic<bool> overlapped{false};
  {
    QVTimer timer(0.001, true);
    timer.expiryDelegate.addObserver([&](QVTimer&) {
      inCallback = true;
      std::this_thread::sleep_for(milliseconds(5));
      ++calls;
      inCallback = false;
    });
    timer.start();
    std::this_thread::sleep_for(milliseconds(30));
  }
  overlapped = inCallback.load();
  const int callsAtDestruction = calls;
  EXPECT_GT(callsAtDestruction, 0);
  EXPECT_FALSE(overlapped) << "destructor returned while a callback ran";
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(calls, callsAtDestruction);
}

TEST(QVTimerTest, SetIntervalReschedulesARunningTimer) {
  ExpiryCounter counter;
  QVTimer timer(10.0, false);
  timer.expiryDelegate.addObserver([&](QVTimer&) { counter.tick(); });
  EXPECT_DOUBLE_EQ(timer.interval(), 10.0);
  timer.start();
  EXPECT_TRUE(timer.isRunning());
  // Pulled in from ten seconds to twenty milliseconds after start.
  timer.setInterval(0.02);
  EXPECT_DOUBLE_EQ(timer.interval(), 0.02);
  EXPECT_TRUE(counter.waitFor(1, milliseconds(2000)));

  // An interval of 0 stops a running timer.
  timer.setInterval(0.01);
  timer.start();
  timer.setInterval(0.0);
  EXPECT_FALSE(timer.isRunning());
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(counter.count(), 1);
}

TEST(QVTimerTest, StartOnRunningTimerRestartsIt) {
  std::atomic<uint64_t> firedAt{0};
  ExpiryCounter counter;
  QVTimer timer(0.1, false);
  timer.expiryDelegate.addObserver([&](QVTimer&) {
    firedAt = TimeNanos();
    counter.tick();
  });
  timer.start();
  std::this_thread::sleep_for(milliseconds(60));
  const uint64_t restarted = TimeNanos();
  timer.start();
  ASSERT_TRUE(counter.waitFor(1, milliseconds(2000)));
  EXPECT_GE(firedAt.load(), restarted + 100000000u);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(counter.count(), 1);
}

TEST(QVTimerTest, ZeroOrNegativeIntervalNeverFires) {
  ExpiryCounter counter;
  QVTimer zero(0.0, true);
  QVTimer negative(-1.0, false);
  zero.expiryDelegate.addObserver([&](QVTimer&) { counter.tick(); });
  negative.expiryDelegate.addObserver([&](QVTimer&) { counter.tick(); });
  zero.start();
  negative.start();
  EXPECT_FALSE(zero.isRunning());
  EXPECT_FALSE(negative.isRunning());
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(counter.count(), 0);
}

TEST(QVTimerTest, CancelBeforeStartAndTwiceIsHarmless) {
  QVTimer timer(0.01, true);
  timer.cancel();
  timer.start();
  timer.cancel();
  timer.cancel();
  EXPECT_FALSE(timer.isRunning());
}

}  // namespace
}  // namespace Quorvel
