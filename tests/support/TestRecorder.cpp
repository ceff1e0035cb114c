#include "support/TestRecorder.h"

#include <stdexcept>

#include "base/QVException.h"

namespace Quorvel {
namespace test {

TestRecorder::TestRecorder(const std::shared_ptr<QVSessionConfig>& config) : QVSampler(config) {
  // As every concrete recorder does: the limits come from setConfig.
  setConfig(config);
}

TestRecorder::~TestRecorder() {
  abortHook = HookAction::Succeed;
  releaseBlocked();
  abort();
}

void TestRecorder::raiseErrorOnStop(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  errorOnStop_ = id;
}

void TestRecorder::raiseWarningOnStop(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  warningOnStop_ = id;
}

bool TestRecorder::stop() {
  const HookAction entry = stopEntry;
  if (entry != HookAction::Succeed) {
    _perform(entry);
  }
  return QVSampler::stop();
}

bool TestRecorder::waitUntilBlocked(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(gateMutex_);
  return gateChanged_.wait_for(lock, timeout, [this] { return blocked_; });
}

void TestRecorder::releaseBlocked() {
  {
    std::lock_guard<std::mutex> lock(gateMutex_);
    released_ = true;
  }
  gateChanged_.notify_all();
}

void TestRecorder::reportLostSamples(uint64_t count) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  lostSampleCount_ = count;
}

std::shared_ptr<QVAbstractCallStackTenureArchiver> TestRecorder::archiver() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return sampleArchiver_;
}

bool TestRecorder::_start() {
  ++startCalls;
  QVSampler::_start();
  return _perform(startHook);
}

bool TestRecorder::_stop() {
  ++stopCalls;
  QVSampler::_stop();
  if (!errorOnStop_.empty()) {
    sessionErrors().setErrorId(errorOnStop_);
  }
  if (!warningOnStop_.empty()) {
    sessionErrors().setWarningId(warningOnStop_);
  }
  return _perform(stopHook);
}

bool TestRecorder::_abort() {
  ++abortCalls;
  QVSampler::_abort();
  return _perform(abortHook);
}

bool TestRecorder::_collect() {
  ++collectCalls;
  QVSampler::_collect();
  return _perform(collectHook);
}

bool TestRecorder::_perform(HookAction action) {
  switch (action) {
    case HookAction::Succeed:
      return true;
    case HookAction::Fail:
      return false;
    case HookAction::ThrowQVException:
      throw QVException("scripted failure", __LINE__, __FILE__);
    case HookAction::ThrowStdException:
      throw std::runtime_error("scripted failure");
    case HookAction::ThrowOther:
      throw 42;
    case HookAction::Block: {
      std::unique_lock<std::mutex> lock(gateMutex_);
      blocked_ = true;
      gateChanged_.notify_all();
      gateChanged_.wait(lock, [this] { return released_; });
      blocked_ = false;
      released_ = false;
      return true;
    }
  }
  return false;
}

}  // namespace test
}  // namespace Quorvel
