#include "time/QVTimer.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Quorvel {

using Clock = QVTimer::Clock;

namespace {

// Whether an interval is one the timer fires for; shorter ones would round
// to a zero period.
bool FiresFor(double seconds) { return seconds >= QVTimer::kResolutionSeconds; }

}  // namespace

struct QVTimer::State {
  explicit State(QVTimer* timer, double seconds, bool repeatFlag)
      : owner(timer), interval(seconds), repeat(repeatFlag) {}

  // Converts seconds to a clock duration, clamped so that adding it to a
  // time point cannot overflow.
  Clock::duration period() const {
    constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
    const double seconds = interval < kMaxSeconds ? interval : kMaxSeconds;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  std::mutex mutex;
  std::condition_variable wake;  // tells the thread that the schedule changed
  std::condition_variable idle;  // tells cancellers that an observer returned
  QVTimer* owner;
  double interval;
  bool repeat;
  bool running = false;
  bool quit = false;
  bool inCallback = false;
  // Bumped by every start and cancel so that the thread can tell whether the
  // schedule it fired from is still the current one.
  uint64_t generation = 0;
  Clock::time_point previous;  // the last expiry, or the start
  Clock::time_point deadline;
  std::thread::id threadId;
};

QVTimer::QVTimer(double seconds, bool repeat) : state_(std::make_shared<State>(this, seconds, repeat)) {}

QVTimer::~QVTimer() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->quit = true;
    state_->running = false;
    ++state_->generation;
  }
  state_->wake.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      // Destroyed by its own observer, which the contract forbids; detaching
      // at least avoids joining ourselves, and the thread holds the state.
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void QVTimer::_ensureThread() {
  std::call_once(threadOnce_, [this] { thread_ = std::thread(&QVTimer::_threadBody, state_); });
}

void QVTimer::start() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->generation;
    if (!FiresFor(state_->interval) || state_->quit) {
      state_->running = false;
      return;
    }
    state_->running = true;
    state_->previous = Clock::now();
    state_->deadline = state_->previous + state_->period();
  }
  _ensureThread();
  state_->wake.notify_all();
}

void QVTimer::requestCancel() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->running = false;
    ++state_->generation;
  }
  state_->wake.notify_all();
}

void QVTimer::cancel() {
  requestCancel();
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->threadId == std::this_thread::get_id()) {
    return;
  }
  state_->idle.wait(lock, [this] { return !state_->inCallback; });
}

void QVTimer::setInterval(double seconds) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->interval = seconds;
    if (!state_->running) {
      return;
    }
    if (!FiresFor(seconds)) {
      state_->running = false;
      ++state_->generation;
    } else {
      state_->deadline = state_->previous + state_->period();
    }
  }
  state_->wake.notify_all();
}

double QVTimer::interval() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->interval;
}

bool QVTimer::repeats() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->repeat;
}

bool QVTimer::isRunning() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->running;
}

Clock::time_point QVTimer::dueExpiry(Clock::time_point deadline, Clock::time_point now, Clock::duration period) {
  if (period <= Clock::duration::zero() || now - deadline < period) {
    return deadline;
  }
  return deadline + ((now - deadline) / period) * period;
}

void QVTimer::_threadBody(std::shared_ptr<State> state) {
  std::unique_lock<std::mutex> lock(state->mutex);
  // Recorded before any expiry, so an observer's cancel() always knows it
  // runs on this thread and must not wait for itself.
  state->threadId = std::this_thread::get_id();
  while (!state->quit) {
    if (!state->running) {
      state->wake.wait(lock);
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (now < state->deadline) {
      // Woken early or spuriously: loop to re-read a schedule that may have
      // changed meanwhile.
      state->wake.wait_until(lock, state->deadline);
      continue;
    }
    const Clock::duration period = state->period();
    state->deadline = dueExpiry(state->deadline, now, period);
    state->previous = state->deadline;
    if (state->repeat) {
      state->deadline += period;
    } else {
      state->running = false;
    }
    state->inCallback = true;
    QVTimer* owner = state->owner;
    lock.unlock();
    owner->expiryDelegate.notifyObservers(*owner);
    lock.lock();
    state->inCallback = false;
    state->idle.notify_all();
  }
}

}  // namespace Quorvel
