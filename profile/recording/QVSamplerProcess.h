#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>

#include <boost/date_time/posix_time/ptime.hpp>

#include "ids/QVThreadId.h"
#include "model/QVDebugger.h"
#include "recording/QVSampler.h"
#include "time/QVTimer.h"

namespace Quorvel {

class QVProcess;

// Samples one chosen process without any kernel back-end: on each expiry of
// an interval timer every thread of the target is stopped with ptrace, its
// user-mode stack unwound by the target's debugger and released again, and
// one call-stack sample per thread is archived.
//
// The target is chosen while idle (setTargetProcess); the process of this
// library, init, kernel threads, processes that exited and processes of
// another architecture are refused. The sampling interval is the
// configuration's timer interval.
//
// A target that exits during the recording ends it with the warning
// "QVSamplerProcessWarningTargetProcessExited", keeping the samples taken;
// a target still running that gives no stack at all ends it with the error
// "QVSamplerProcessErrorUnableToSampleTargetProcess". Threads that appear
// and vanish between ticks are sampled while they exist. The same holds for
// the first sample, taken during start() to refresh the target's map and
// threads: when it fails, start() fails with that identifier collected.
//
// The first sample, taken during start(), is part of the recording: a
// recording stopped at once still holds what it saw.
//
// Samples run on the timer's thread under the recorder's lock, so stop(),
// abort() and collect() wait at most for the tick in progress, and a tick
// asked to end (by stop(), abort() or the time limit, whose deadline each
// tick also checks against the clock) starts on no further thread and keeps
// what it took. Each thread is held only while its own stack is unwound
// (see QVDebugger::sampleThreads).
//
// Every sample notes the processor its thread last ran on, its scheduler
// state and the CPU time it consumed since its previous sample (the first
// sample of a thread alive at the start counts none).
class QVSamplerProcess : public QVSampler {
 public:
  explicit QVSamplerProcess(const std::shared_ptr<QVSessionConfig>& config);
  // Aborts an active recording and waits for a tick in progress.
  ~QVSamplerProcess() override;

  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;
  // Refused while recording.
  bool setConfig(const std::shared_ptr<QVSessionConfig>& config) override;

  // Refused (false, and no target kept) while recording and for the
  // processes listed above; an empty pointer clears the target.
  bool setTargetProcess(const std::shared_ptr<QVProcess>& process);
  // Ask a tick in progress to end before taking the recorder's lock.
  bool stop() override;
  void abort() override;
  std::shared_ptr<QVProcess> targetProcess() const;
  // The timer's interval in seconds.
  double samplingInterval() const;

 protected:
  bool _start() override;
  bool _stop() override;
  bool _abort() override;
  // Hands the recording's samples, times and ticks to the session profile.
  bool _collect() override;
  // One tick: refresh the map when the target's libraries changed, refresh
  // its threads, and archive one stack per thread; ends the recording when
  // nothing could be sampled or the sample limit is reached.
  virtual void _sampleInternal();
  void _timeLimitInternal() override;

 private:
  // The body of a tick; false when no thread gave a stack (the reason's
  // identifier is then collected).
  bool _sampleTarget();
  // The CPU time the thread consumed since its previous sample, in
  // nanoseconds; -1 when unknown. Remembers this sample's total.
  int64_t _cpuTimeSincePreviousSample(const QVThreadId& threadId, const QVDebugger::ThreadSample& sample);
  void _forgetQuietThreads();
  // Whether the time limit's deadline has passed.
  bool _pastDeadline() const;
  void _refreshSectionMapIfLibrariesChanged();

  std::shared_ptr<QVProcess> target_;
  std::shared_ptr<QVDebugger> debugger_;
  QVTimer timer_;
  uint64_t sharedLibrarySize_ = 0;
  uint64_t previousSampleTime_ = 0;
  // Ticks taken in this recording, the start's own included.
  uint64_t tickCount_ = 0;
  // Per thread: its CPU time at its last sample, and that tick.
  struct CpuTime {
    uint64_t nanos;
    uint64_t tick;
  };
  std::unordered_map<QVThreadId, CpuTime> cpuTimes_;
  // TimeNanos() at which the time limit ends the recording; 0 for none.
  uint64_t deadlineTick_ = 0;
  // Set, without the lock, to end a tick in progress.
  std::atomic<bool> endRequested_{false};
  boost::posix_time::ptime startTime_;
  boost::posix_time::ptime endTime_;
  uint64_t startTick_ = 0;
  uint64_t endTick_ = 0;
};

}  // namespace Quorvel
