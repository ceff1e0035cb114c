#include "Linux/driver/QVSamplerLinux.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstring>
#include <ostream>

#include "Linux/driver/QVDriverBuffer.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "notify/QVNotificationIds.h"
#include "notify/QVNotify.h"
#include "notify/QVNotifyDriver.h"

namespace Quorvel {

namespace {

// Long enough for any driver to hand over what it holds; a join that takes
// longer means the driver hangs in a read.
constexpr std::chrono::seconds kJoinTimeout(10000);

}  // namespace

QVSamplerLinux::QVSamplerLinux(const std::shared_ptr<QVSessionConfig>& config) : QVSampler(config) {}

QVSamplerLinux::~QVSamplerLinux() {
  _joinLimitThread();
  if (readThread_.joinable()) readThread_.join();
}

bool QVSamplerLinux::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVSamplerLinuxErrorFailedToStop) {
    os << "Failed to stop profile driver.";
    return true;
  }
  return QVSampler::getErrorMessage(os, id);
}

bool QVSamplerLinux::getWarningMessage(std::ostream& os, const std::string& id) const {
  return QVSampler::getWarningMessage(os, id);
}

bool QVSamplerLinux::reading() const {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return reading_;
}

void QVSamplerLinux::_setReading(bool reading) {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    reading_ = reading;
    if (reading) started_ = true;
  }
  stateChanged_.notify_all();
}

void QVSamplerLinux::_readBufferThreadBody() {
  try {
    sched_param param;
    std::memset(&param, 0, sizeof param);
    param.sched_priority = sched_get_priority_max(SCHED_RR);
    const int result = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
    if (result != 0) {
      QV_WARNING("failed to set read buffer thread priority and scheduling policy - " << std::strerror(result));
    }
    _setReading(true);
    int n = 0;
    do {
      n = buffer_->read();
      if (n < 0) {
        QV_WARNING("QVSamplerLinux failed to read sample data (" << n << ")");
      } else {
        QV_DEBUG("QVSamplerLinux read " << n << " bytes of sample data");
      }
    } while (n > 0 && isActive());
    if (n == 0 && isActive()) {
      // The reader's stop action: stopping joins this thread, so it
      // happens on another one.
      _joinLimitThread();
      limitThread_ = std::thread([this] { _sampleLimitInternal(); });
    } else if (n > 0) {
      // The recording was stopped: what the driver flushed on stop is
      // still to be taken in, down to its last word.
      while (buffer_->read() > 0) {
      }
    }
  } catch (const QVException& exception) {
    QV_ERROR("Caught QVException in " << __PRETTY_FUNCTION__ << ": " << exception.message());
    if (!exception.stackTrace().empty()) {
      QV_ERROR("Stack Trace: ");
      exception.printStackTrace();
    }
    _setReading(false);
    abort();
    return;
  } catch (const std::exception& exception) {
    QV_ERROR("Caught exception in " << __PRETTY_FUNCTION__ << ": " << exception.what());
    _setReading(false);
    abort();
    return;
  } catch (...) {
    QV_ERROR("Caught unknown exception in " << __PRETTY_FUNCTION__);
    _setReading(false);
    abort();
    return;
  }
  _setReading(false);
}

void QVSamplerLinux::_sampleLimitInternal() {
  try {
    QVSampler::_sampleLimitInternal();
  } catch (...) {
    QV_ERROR("unknown exception in _sampleLimitInternal()");
  }
}

void QVSamplerLinux::_startReadThread() {
  if (readThread_.joinable()) readThread_.join();
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    started_ = false;
  }
  readThread_ = std::thread([this] { _readBufferThreadBody(); });
  // Waits for the start, not for the flag: a first read that fails at once
  // clears the flag again before this thread may look.
  std::unique_lock<std::mutex> lock(stateMutex_);
  stateChanged_.wait(lock, [this] { return started_; });
}

void QVSamplerLinux::_joinReadThread() {
  if (!readThread_.joinable()) return;
  if (readThread_.get_id() == std::this_thread::get_id()) {
    QV_WARNING("unable to join read buffer thread (current thread)");
    return;
  }
  std::unique_lock<std::mutex> lock(stateMutex_);
  if (!stateChanged_.wait_for(lock, kJoinTimeout, [this] { return !reading_; })) {
    QV_WARNING("failed to join read buffer thread");
    return;
  }
  lock.unlock();
  readThread_.join();
}

void QVSamplerLinux::_joinLimitThread() {
  if (limitThread_.joinable() && limitThread_.get_id() != std::this_thread::get_id()) limitThread_.join();
}

void QVSamplerLinux::setNotify(const std::shared_ptr<QVNotify>& notify) {
  notify_ = notify;
  notifyChosen_ = true;
}

void QVSamplerLinux::_startNotify() {
  runningNotify_.reset();
  std::shared_ptr<QVNotify> notify = notify_;
  if (!notifyChosen_) {
    const std::shared_ptr<QVNotifyDriver> driver = QVNotifyDriver::defaultDriver();
    if (!driver || !driver->isLoaded() || !driver->init()) return;
    notify = QVNotify::defaultNotify();
  }
  if (!notify) return;
  if (notify->start()) {
    runningNotify_ = notify;
  } else {
    QV_WARNING("process exit notification is off for this recording");
  }
}

void QVSamplerLinux::_stopNotify() {
  if (!runningNotify_) return;
  runningNotify_->stop();
  runningNotify_->getSessionErrors(sessionErrors(), true);
  runningNotify_.reset();
}

void QVSamplerLinux::_abortNotify() {
  if (!runningNotify_) return;
  runningNotify_->abort();
  runningNotify_.reset();
}

}  // namespace Quorvel
