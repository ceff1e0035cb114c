#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "recording/QVSampler.h"

namespace Quorvel {

class QVDriverBufferWindow;

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

    std::shared_ptr<QVDriverBufferWindow> buffer_;

private:
    void _setReading(bool reading);

    std::thread readThread_;
    std::thread limitThread_;
    mutable std::mutex stateMutex_;
    std::condition_variable stateChanged_;
    bool reading_ = false;
    bool started_ = false;  // the current thread has begun reading
};

}  // namespace Quorvel
