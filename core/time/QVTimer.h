#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "base/QVDelegate.h"

namespace Quorvel {

// A one-shot or repeating timer with a thread of its own. On expiry it
// notifies expiryDelegate's observers on that thread.
//
// A repeating timer schedules each deadline from the previous deadline, not
// from when the observers returned, so the cadence does not drift. When the
// observers overrun by more than one interval the missed ticks are skipped:
// the timer fires once at once and then keeps to the original grid.
//
// An interval below the timer's resolution (1 microsecond), 0 or less never
// fires; start() with such an interval leaves the timer stopped.
//
// All members may be called from any thread, including from an observer.
// The timer must not be destroyed from its own observer.
class QVTimer {
 public:
  QVTimer(double seconds, bool repeat);
  // Cancels and waits for the thread to finish (and any observer running).
  ~QVTimer();
  QVTimer(const QVTimer&) = delete;
  QVTimer& operator=(const QVTimer&) = delete;

  // Starts, or restarts a running timer, with the first expiry one interval
  // from now.
  void start();

  // Stops the timer. Called from another thread, it returns only when no
  // observer is running and none will run (unless the timer is started
  // again). Called from an observer it returns at once and no further expiry
  // follows. Waiting for a running observer means the caller must not hold
  // anything the observers wait for; see requestCancel().
  void cancel();

  // Stops further expiries without waiting for an observer already running.
  // For callers that hold a lock which the observers also take: waiting
  // there would deadlock, and the observer is expected to find that its work
  // is no longer wanted.
  void requestCancel();

  // Takes effect at once. On a running timer the pending expiry moves to one
  // new interval after the previous expiry (or after start); an interval that
  // does not fire stops it as requestCancel() does.
  void setInterval(double seconds);
  double interval() const;
  bool repeats() const;
  bool isRunning() const;

  QVDelegate1<QVTimer&> expiryDelegate;

  using Clock = std::chrono::steady_clock;
  // The shortest interval that fires.
  static constexpr double kResolutionSeconds = 1e-6;
  // The rule of a repeating timer, apart from any clock: given the deadline
  // that has come due at `now` (now >= deadline) and a positive period, the
  // grid point to fire for. That is the deadline itself, or after an overrun
  // of whole periods the latest grid point missed, so that missed ticks are
  // skipped rather than delivered in a burst. The next deadline is the
  // result plus one period.
  static Clock::time_point dueExpiry(Clock::time_point deadline, Clock::time_point now, Clock::duration period);

 private:
  struct State;

  void _ensureThread();
  static void _threadBody(std::shared_ptr<State> state);

  // Shared with the thread so that it never outlives what it touches.
  std::shared_ptr<State> state_;
  std::once_flag threadOnce_;
  std::thread thread_;
};

}  // namespace Quorvel
