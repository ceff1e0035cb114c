#include "recording/QVSessionRecorder.h"

#include <cmath>
#include <limits>
#include <ostream>

#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "recording/QVDynamicClassName.h"
#include "session/QVSessionProfile.h"
#include "time/QVStopwatch.h"
#include "time/QVTime.h"

namespace Quorvel {

namespace {

// An expiry is taken as stale when it comes more than this much earlier than
// the limit allows; the slack absorbs rounding between the timer's clock
// duration and the nanosecond ticks, both read from the monotonic clock.
constexpr uint64_t kExpirySlackNanos = 1000000;

// Keeps what is logged during a stop or abort, also when a hook throws:
// a capture left running would swallow every later line into memory.
class StopLogCapture {
 public:
  explicit StopLogCapture(std::string& into) : into_(into) { StartCaptureLog(); }
  ~StopLogCapture() { StopCaptureLog(into_); }
  StopLogCapture(const StopLogCapture&) = delete;
  StopLogCapture& operator=(const StopLogCapture&) = delete;

 private:
  std::string& into_;
};

}  // namespace

QVSessionRecorder::QVSessionRecorder(const std::shared_ptr<QVSessionConfig>& config) : config_(config) {
  timeLimitTimer_.expiryDelegate.addObserver([this](QVTimer& /*timer*/) { _onTimeLimitExpiry(); });
}

QVSessionRecorder::~QVSessionRecorder() {
  QVSessionRecorder::abort();
  // An expiry may already be running on the timer's thread; it must be over
  // before the members it reads go away. The lock is not held here, so
  // waiting for it cannot deadlock.
  timeLimitTimer_.cancel();
  sessionProfile_.reset();
  config_.reset();
}

bool QVSessionRecorder::getErrorMessage(std::ostream& /*os*/, const std::string& id) const {
  if (id.find("Error") == std::string::npos) {
    QV_ERROR("invalid error id: " << id);
  }
  return false;
}

bool QVSessionRecorder::getWarningMessage(std::ostream& /*os*/, const std::string& id) const {
  if (id.find("Warning") == std::string::npos) {
    QV_ERROR("invalid warning id: " << id);
  }
  return false;
}

bool QVSessionRecorder::start() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_) {
    return false;
  }
  QV_DEBUG("start recording");
  sessionProfile_.reset();
  active_ = true;
  stopReason_ = StopReasonNone;
  sessionErrors_.clear();
  startTime_ = CurrentUniversalTime();
  startTick_ = TimeNanos();
  bool started = false;
  try {
    started = _start();
  } catch (...) {
    // Left active, the recorder could never be started again.
    abort();
    throw;
  }
  if (!started) {
    QV_ERROR("failed to start recording");
    // The abort ends the recording and tells the observers; start itself
    // must not tell them a second time.
    abort();
    return false;
  }
  if (timeLimit_ > 0.0) {
    timeLimitTimer_.start();
  }
  observers_.notifyObservers(*this);
  return true;
}

bool QVSessionRecorder::stop() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  {
    StopLogCapture capture(stopErrorLog_);
    _stopActive();
  }
  return stopReason_ != StopReasonError;
}

void QVSessionRecorder::_stopActive() {
  if (active_) {
    QV_DEBUG("stop recording");
    // The end is set before the recorder turns inactive: whoever sees it
    // inactive (without the lock) then also sees where it ended.
    endTick_ = TimeNanos();
    endTime_ = CurrentUniversalTime();
    active_ = false;
    if (stopReason_ == StopReasonNone) {
      stopReason_ = StopReasonUser;
    }
    // Waiting here for a running expiry would deadlock: the expiry handler
    // needs the lock held now. It finds the recorder inactive instead.
    timeLimitTimer_.requestCancel();
    if (!_stop()) {
      QV_ERROR("failed to stop recording");
    }
    if (sessionErrors_.errorCount() > 0) {
      stopReason_ = StopReasonError;
    }
    observers_.notifyObservers(*this);
  }
}

void QVSessionRecorder::abort() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  StopLogCapture capture(stopErrorLog_);
  if (active_) {
    QV_DEBUG("abort recording");
    active_ = false;
    stopReason_ = StopReasonAbort;
    timeLimitTimer_.requestCancel();
    _abort();
    observers_.notifyObservers(*this);
  }
}

const std::shared_ptr<QVSessionProfile>& QVSessionRecorder::collect() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (sessionProfile_ || active_) {
    return sessionProfile_;
  }
  QVStopwatch stopwatch;
  stopwatch.start();
  sessionProfile_ = std::make_shared<QVSessionProfile>(config_, startTime_, endTime_, false, true);
  if (!_collect()) {
    QV_ERROR("failed to collect records");
  }
  stopwatch.stop();
  const double elapsed = std::max(0.0, stopwatch.elapsed() - QVStopwatch::overhead_);
  QV_DEBUG("collected session data in " << elapsed << " seconds");
  return sessionProfile_;
}

bool QVSessionRecorder::isActive() const { return active_; }

QVSessionRecorder::StopReason QVSessionRecorder::stopReason() const { return stopReason_; }

bool QVSessionRecorder::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_) {
    return false;
  }
  if (config != config_) {
    config_ = config;
    QV_DEBUG(DynamicClassName(*this, true) << " session config - " << config_);
  }
  // A null configuration has no limits to derive.
  timeLimit_ = (config_ && config_->timeLimitEnable) ? config_->timeLimit : 0.0;
  timeLimitTimer_.setInterval(timeLimit_);
  return true;
}

const std::shared_ptr<QVSessionConfig>& QVSessionRecorder::config() const { return config_; }

bool QVSessionRecorder::setCollectCallStacks(bool collect) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_) {
    QV_WARNING("unable to set callstack collection while actively sampling");
  } else if (collectCallStacks_ != collect) {
    collectCallStacks_ = collect;
    QV_DEBUG("set callstack collection: " << (collect ? "enabled" : "disabled"));
  }
  return collectCallStacks_ == collect;
}

bool QVSessionRecorder::collectCallStacks() const { return collectCallStacks_; }

bool QVSessionRecorder::setGatherKernelSymbols(bool gather) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_) {
    QV_WARNING("unable to set gather kernel symbols while actively sampling");
  } else if (gatherKernelSymbols_ != gather) {
    gatherKernelSymbols_ = gather;
    QV_DEBUG("set gather kernel symbols: " << (gather ? "enabled" : "disabled"));
  }
  return gatherKernelSymbols_ == gather;
}

bool QVSessionRecorder::gatherKernelSymbols() const { return gatherKernelSymbols_; }

boost::posix_time::ptime QVSessionRecorder::startTime() const { return startTime_; }

boost::posix_time::ptime QVSessionRecorder::endTime() const { return endTime_; }

uint64_t QVSessionRecorder::startTick() const { return startTick_; }

uint64_t QVSessionRecorder::endTick() const { return endTick_; }

uint64_t QVSessionRecorder::durationTicks() const { return endTick_ - startTick_; }

double QVSessionRecorder::durationTime() const {
  const boost::posix_time::time_duration duration = endTime_ - startTime_;
  // fractional_seconds() counts in the duration's own resolution; scaled to
  // nanoseconds it reads the same whatever resolution Boost was built with.
  const double fractionNanos = static_cast<double>(duration.fractional_seconds()) *
                               (1e9 / static_cast<double>(boost::posix_time::time_duration::ticks_per_second()));
  return static_cast<double>(duration.total_seconds()) + fractionNanos / 1e9;
}

double QVSessionRecorder::timeForTick(uint64_t tick) const {
  return static_cast<double>(tick) / static_cast<double>(durationTicks()) * durationTime();
}

uint64_t QVSessionRecorder::tickForTime(double seconds) const {
  const double ticks = seconds / durationTime() * static_cast<double>(durationTicks());
  // Converting a double outside [0, 2^64) is undefined, so those ends are
  // pinned; inside it the conversion truncates toward zero as wanted,
  // including above 2^63.
  if (!(ticks > 0.0)) {
    return 0;
  }
  if (ticks >= 18446744073709551616.0) {
    return std::numeric_limits<uint64_t>::max();
  }
  return static_cast<uint64_t>(ticks);
}

void QVSessionRecorder::getSessionErrors(QVErrorManager& out, bool append) const {
  if (!append) {
    out.clear();
  }
  out += sessionErrors_;
}

const std::string& QVSessionRecorder::stopErrorLog() const { return stopErrorLog_; }

void QVSessionRecorder::_timeLimitInternal() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_) {
    stopReason_ = StopReasonTimeLimit;
    stop();
  }
}

void QVSessionRecorder::_onTimeLimitExpiry() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // An expiry of a recording that has since been stopped may have waited
  // for the lock while a new recording started; it must not end that one.
  if (active_) {
    const uint64_t elapsed = TimeNanos() - startTick_;
    const double limitNanos = timeLimit_ * 1e9;
    if (static_cast<double>(elapsed + kExpirySlackNanos) < limitNanos) {
      QV_DEBUG("ignoring time limit expiry of an earlier recording");
      return;
    }
  }
  _timeLimitInternal();
}

}  // namespace Quorvel
