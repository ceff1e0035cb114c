#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

#include "base/QVDelegate.h"
#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"
#include "time/QVTimer.h"

namespace Quorvel {

class QVSessionConfig;
class QVSessionProfile;

// The life cycle of one recording: start, stop (by the caller or a limit),
// abort, and collect into a QVSessionProfile. Back-ends fill the four hooks
// and never change the life cycle itself.
//
// One recursive mutex serialises the operations, the hooks, the limit
// handlers and the observers. The plain getters read without it.
// Observers are told after every successful start and after every stop or
// abort of an active recording, with the new state already in place; they run
// with the recorder's mutex held and must not wait for another thread that
// needs the recorder.
//
// A concrete recorder must be inactive, or abort itself in its own
// destructor, before this destructor runs: the hooks are pure here.
class QVSessionRecorder : public QVErrorMessageProvider {
 public:
  // Callers compare the numbers; 2 and 3 are never produced.
  enum StopReason : int32_t {
    StopReasonNone = 0,
    StopReasonUser = 1,
    StopReasonSampleLimit = 4,
    StopReasonTimeLimit = 5,
    StopReasonAbort = 6,
    StopReasonError = 7,
  };

  using Observers = QVDelegate1<const QVSessionRecorder&>;

  // Stores the configuration without reading it: the derived limits are
  // computed only by setConfig, which every concrete recorder calls at the
  // end of its constructor.
  explicit QVSessionRecorder(const std::shared_ptr<QVSessionConfig>& config);
  ~QVSessionRecorder() override;
  QVSessionRecorder(const QVSessionRecorder&) = delete;
  QVSessionRecorder& operator=(const QVSessionRecorder&) = delete;

  // Nothing is known at this level: both write nothing and answer false,
  // logging "invalid error id: " / "invalid warning id: " when the id does
  // not even contain "Error" / "Warning".
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  // False when already active, or when _start fails (the recording then ends
  // as an abort, and the observers hear of it once, from abort).
  virtual bool start();
  // Ends an active recording with StopReasonUser unless a limit handler set
  // its own reason; collected errors turn any reason into StopReasonError.
  // Returns whether the reason differs from StopReasonError (for an inactive
  // recorder, the reason the last recording left). Log lines written
  // meanwhile are kept in stopErrorLog().
  virtual bool stop();
  // Ends an active recording with StopReasonAbort; ticks and end time stay.
  virtual void abort();
  // The profile of the last recording, created and filled by _collect on the
  // first call after it ended; later calls return the same one until the
  // next start. Null while recording.
  virtual const std::shared_ptr<QVSessionProfile>& collect();

  virtual bool isActive() const;
  virtual StopReason stopReason() const;

  // Refused (false) while active. Derives the time limit from the
  // configuration, also when the pointer is the one already stored.
  virtual bool setConfig(const std::shared_ptr<QVSessionConfig>& config);
  virtual const std::shared_ptr<QVSessionConfig>& config() const;
  // Refused while active; the result is whether the stored value now equals
  // the requested one.
  virtual bool setCollectCallStacks(bool collect);
  virtual bool collectCallStacks() const;
  virtual bool setGatherKernelSymbols(bool gather);
  virtual bool gatherKernelSymbols() const;

  // UTC wall-clock times (microsecond precision) and TimeNanos() ticks of
  // the last start and stop.
  virtual boost::posix_time::ptime startTime() const;
  virtual boost::posix_time::ptime endTime() const;
  virtual uint64_t startTick() const;
  virtual uint64_t endTick() const;
  virtual uint64_t durationTicks() const;
  // Seconds between startTime and endTime.
  virtual double durationTime() const;
  // Between tick offsets from startTick and seconds from startTime, scaled
  // by the two durations. Undefined before a recording has started and
  // stopped, or while either duration is zero.
  virtual double timeForTick(uint64_t tick) const;
  virtual uint64_t tickForTime(double seconds) const;

  // Clears out unless append, then adds the recording's error and warning
  // ids.
  virtual void getSessionErrors(QVErrorManager& out, bool append) const;
  virtual const std::string& stopErrorLog() const;

  // Told of every start, stop and abort.
  Observers& observers() { return observers_; }

 protected:
  virtual bool _start() = 0;
  virtual bool _stop() = 0;
  virtual bool _abort() = 0;
  virtual bool _collect() = 0;
  // Runs on the timer's thread when the time limit expires.
  virtual void _timeLimitInternal();

  // For subclasses: the recorder's lock, the recording's error collector,
  // the profile being collected and the reason a limit handler sets before
  // it calls stop().
  std::recursive_mutex& mutex() const { return mutex_; }
  QVErrorManager& sessionErrors() { return sessionErrors_; }
  const QVErrorManager& sessionErrors() const { return sessionErrors_; }
  const std::shared_ptr<QVSessionProfile>& sessionProfile() const { return sessionProfile_; }
  void setStopReason(StopReason reason) { stopReason_.store(reason); }

 private:
  void _onTimeLimitExpiry();
  // The body of stop(), run inside its log capture.
  void _stopActive();

  mutable std::recursive_mutex mutex_;
  std::atomic<bool> active_{false};
  std::atomic<StopReason> stopReason_{StopReasonNone};
  QVErrorManager sessionErrors_;
  double timeLimit_ = 0.0;
  QVTimer timeLimitTimer_{0.0, false};
  Observers observers_;
  boost::posix_time::ptime startTime_;
  boost::posix_time::ptime endTime_;
  std::atomic<uint64_t> startTick_{0};
  std::atomic<uint64_t> endTick_{0};
  std::shared_ptr<QVSessionConfig> config_;
  std::shared_ptr<QVSessionProfile> sessionProfile_;
  std::atomic<bool> collectCallStacks_{true};
  std::atomic<bool> gatherKernelSymbols_{true};
  std::string stopErrorLog_;
};

}  // namespace Quorvel
