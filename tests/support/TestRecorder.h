#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "recording/QVSampler.h"

namespace Quorvel {
namespace test {

// What a scripted hook does when it is called.
enum class HookAction {
  Succeed,            // returns true
  Fail,               // returns false
  ThrowQVException,   // throws QVException("scripted failure", ...)
  ThrowStdException,  // throws std::runtime_error("scripted failure")
  ThrowOther,         // throws an int
  Block,              // waits until released, then returns true
};

// A sampler whose hooks do what the test scripts: succeed, fail, throw or
// block until released, and which counts every call. The base sampler's own
// hook work (a fresh archiver at start, the lost-sample warning at collect)
// runs before the scripted action, so the base stays under test.
//
// Scripts may be changed from any thread; a blocked hook holds the
// recorder's lock, as a slow back-end would.
class TestRecorder : public QVSampler {
 public:
  explicit TestRecorder(const std::shared_ptr<QVSessionConfig>& config);
  // Releases a blocked hook and aborts, so the base destructor never meets
  // an active recording.
  ~TestRecorder() override;

  // Thrown by stop() itself, before the base stop runs; Succeed (the
  // default) lets stop go through.
  std::atomic<HookAction> stopEntry{HookAction::Succeed};
  std::atomic<HookAction> startHook{HookAction::Succeed};
  std::atomic<HookAction> stopHook{HookAction::Succeed};
  std::atomic<HookAction> abortHook{HookAction::Succeed};
  std::atomic<HookAction> collectHook{HookAction::Succeed};

  std::atomic<int> startCalls{0};
  std::atomic<int> stopCalls{0};
  std::atomic<int> abortCalls{0};
  std::atomic<int> collectCalls{0};

  // Error and warning ids the stop hook adds to the recording's collector,
  // as a back-end reports what it found while shutting down.
  void raiseErrorOnStop(const std::string& id);
  void raiseWarningOnStop(const std::string& id);

  bool stop() override;

  // Waits (up to timeout) until a hook scripted to block is waiting.
  bool waitUntilBlocked(std::chrono::milliseconds timeout);
  void releaseBlocked();

  // What back-ends do from their threads.
  void reachSampleLimit() { _sampleLimitInternal(); }
  void expireTimeLimit() { _timeLimitInternal(); }
  void reportLostSamples(uint64_t count);
  // The archiver the current recording installed (null before any start
  // and after an abort).
  std::shared_ptr<QVAbstractCallStackTenureArchiver> archiver() const;
  // The recorder's lock, for tests that hold it across threads.
  std::recursive_mutex& recorderMutex() const { return mutex(); }

 protected:
  bool _start() override;
  bool _stop() override;
  bool _abort() override;
  bool _collect() override;

 private:
  bool _perform(HookAction action);

  std::mutex gateMutex_;
  std::condition_variable gateChanged_;
  bool blocked_ = false;
  bool released_ = false;
  std::string errorOnStop_;
  std::string warningOnStop_;
};

}  // namespace test
}  // namespace Quorvel
