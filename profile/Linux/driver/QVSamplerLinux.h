#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "recording/QVSampler.h"

namespace Quorvel {

class QVDriverBufferWindow;
class QVNotify;

/// The sampler of the kernel-module back-ends: owns the driver's event-buffer
/// reader and the thread that drains the buffer device while a recording
/// runs. The thread runs at the highest round-robin priority where the
/// system allows it, so that the module's buffer does not overflow, and does
/// nothing but copy chunks to files; decoding comes after the recording.
class QVSamplerLinux : public QVSampler {
 public:
  explicit QVSamplerLinux(const std::shared_ptr<QVSessionConfig>& config);
  /// Joins whatever thread of this sampler still runs.
  ~QVSamplerLinux() override;

  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  /// Whether the reading thread's loop runs.
  bool reading() const;

  /// The process-exit notifier that runs with each recording, so that
  /// samples of tasks that exit early keep their process and modules.
  /// Without one set, the process-wide notifier is used while the default
  /// notify driver is loaded; null after a set of null turns it off.
  void setNotify(const std::shared_ptr<QVNotify>& notify);

 protected:
  /// The reading thread: reads chunks until the recording ends or the
  /// reader asks to stop (the sample limit), then drains what a stopped
  /// driver still holds. Any exception aborts the recording.
  void _readBufferThreadBody();
  /// Stops the recording for the sample limit (on a thread of its own,
  /// since stopping joins the reading thread).
  void _sampleLimitInternal() override;
  /// Starts the reading thread and returns once it reads.
  void _startReadThread();
  /// Joins the reading thread, bounded; refuses on the thread itself.
  void _joinReadThread();
  void _joinLimitThread();
  /// Starts the notifier for a recording that starts.
  void _startNotify();
  /// Stops it before the samples are decoded, so exited tasks are known;
  /// its warnings join the session's.
  void _stopNotify();
  void _abortNotify();

  std::shared_ptr<QVDriverBufferWindow> buffer_;

 private:
  void _setReading(bool reading);

  std::thread readThread_;
  std::thread limitThread_;
  mutable std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool reading_ = false;
  bool started_ = false;  // the current thread has begun reading
  std::shared_ptr<QVNotify> notify_;
  bool notifyChosen_ = false;  // setNotify was called
  std::shared_ptr<QVNotify> runningNotify_;
};

}  // namespace Quorvel
