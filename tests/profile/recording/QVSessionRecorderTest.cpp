#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/QVErrorManager.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "recording/QVDynamicClassName.h"
#include "recording/QVSessionRecorder.h"
#include "session/QVSessionProfile.h"
#include "support/TestRecorder.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using test::HookAction;
using test::TestRecorder;
using Reason = QVSessionRecorder::StopReason;

// Generous: only a machine that has stalled for this long fails a wait.
constexpr std::chrono::seconds kDeadline{30};

std::shared_ptr<QVSessionConfig> MakeConfig(double timeLimit = 0.0) {
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
  config->timeLimitEnable = timeLimit > 0.0;
  config->timeLimit = timeLimit > 0.0 ? timeLimit : 30.0;
  return config;
}

// Records every notification: the reason and activity the observer saw, and
// on which thread it came.
class NotificationLog {
 public:
  struct Entry {
    bool active;
    Reason reason;
    std::thread::id thread;
  };

  void attach(QVSessionRecorder& recorder) {
    recorder.observers().addObserver([this](const QVSessionRecorder& r) {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_.push_back(Entry{r.isActive(), r.stopReason(), std::this_thread::get_id()});
      changed_.notify_all();
    });
  }

  std::vector<Entry> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }

  bool waitForCount(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return entries_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

// A recorder with the default configuration and a log of its notifications.
class QVSessionRecorderTest : public ::testing::Test {
 protected:
  QVSessionRecorderTest() { log.attach(recorder); }
  NotificationLog log;
  TestRecorder recorder{MakeConfig()};
};

// --- Initial state and the start/stop/abort transitions -------------------

TEST_F(QVSessionRecorderTest, StartThenStopNotifiesTwiceAndASecondStartChangesNothing) {
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonNone);
  EXPECT_EQ(recorder.startTick(), 0u);
  EXPECT_TRUE(recorder.startTime().is_not_a_date_time());
  EXPECT_TRUE(recorder.endTime().is_not_a_date_time());

  // The state after each step is what the observers saw, checked below.
  ASSERT_TRUE(recorder.start());
  EXPECT_FALSE(recorder.startTime().is_not_a_date_time());
  const uint64_t startTick = recorder.startTick();
  const auto startTime = recorder.startTime();
  EXPECT_GT(startTick, 0u);

  const std::string logged = test::CaptureLog([&] { EXPECT_FALSE(recorder.start()); });
  EXPECT_TRUE(logged.empty()) << logged;
  EXPECT_TRUE(recorder.isActive());
  EXPECT_EQ(recorder.startTick(), startTick);
  EXPECT_EQ(recorder.startTime(), startTime);
  EXPECT_EQ(log.entries().size(), 1u) << "the refused start notifies nobody";

  EXPECT_TRUE(recorder.stop());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_GE(recorder.endTick(), recorder.startTick());
  EXPECT_GE(recorder.endTime(), recorder.startTime());
  EXPECT_EQ(recorder.startCalls, 1);
  EXPECT_EQ(recorder.stopCalls, 1);
  EXPECT_EQ(recorder.abortCalls, 0);

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].active);
  EXPECT_EQ(entries[0].reason, QVSessionRecorder::StopReasonNone);
  EXPECT_FALSE(entries[1].active);
  EXPECT_EQ(entries[1].reason, QVSessionRecorder::StopReasonUser);
}

TEST_F(QVSessionRecorderTest, FailingStartEndsAsAbortWithOneNotificationAndAThrowingOneLeavesItStartable) {
  recorder.startHook = HookAction::Fail;
  bool started = true;
  const std::string logged = test::CaptureLog([&] { started = recorder.start(); });
  EXPECT_FALSE(started);
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonAbort);
  EXPECT_EQ(recorder.abortCalls, 1);
  EXPECT_THAT(logged, HasSubstr("ERROR failed to start recording"));
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_FALSE(entries[0].active);
  EXPECT_EQ(entries[0].reason, QVSessionRecorder::StopReasonAbort);

  recorder.startHook = HookAction::ThrowStdException;
  EXPECT_THROW(recorder.start(), std::runtime_error);
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonAbort);
  recorder.startHook = HookAction::Succeed;
  EXPECT_TRUE(recorder.start());
  EXPECT_TRUE(recorder.stop());
}

TEST_F(QVSessionRecorderTest, AFailingStopIsLoggedAndGoesOnAndStopsOfAnInactiveRecorderOnlyCaptureTheLog) {
  ASSERT_TRUE(recorder.start());
  recorder.stopHook = HookAction::Fail;
  EXPECT_TRUE(recorder.stop());
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_THAT(recorder.stopErrorLog(), HasSubstr("DEBUG stop recording"));
  EXPECT_THAT(recorder.stopErrorLog(), HasSubstr("ERROR failed to stop recording"));
  EXPECT_EQ(log.entries().size(), 2u);

  // Nothing is logged by a stop that finds nothing to stop, so the capture
  // it still runs leaves an empty text in place of the previous one.
  EXPECT_TRUE(recorder.stop());
  EXPECT_TRUE(recorder.stopErrorLog().empty()) << recorder.stopErrorLog();
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);

  ASSERT_TRUE(recorder.start());
  ASSERT_TRUE(recorder.stop());
  recorder.abort();
  EXPECT_TRUE(recorder.stopErrorLog().empty()) << recorder.stopErrorLog();
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_EQ(recorder.stopCalls, 2);
  EXPECT_EQ(recorder.abortCalls, 0);
  EXPECT_EQ(log.entries().size(), 4u);
}

// How a stop reports an error is the error test's table below.
TEST_F(QVSessionRecorderTest, ErrorsOfAStopAreCollectedUntilANewStartClearsThem) {
  recorder.raiseErrorOnStop(QVProfileDriverErrorUnknown);
  ASSERT_TRUE(recorder.start());
  recorder.stop();

  // Collected errors are appended to what the manager holds, or replace it.
  QVErrorManager errors;
  errors.setErrorId(QVNotifyDriverErrorNoDriver);
  recorder.getSessionErrors(errors, true);
  EXPECT_EQ(errors.errorIds(), (std::vector<std::string>{QVNotifyDriverErrorNoDriver, QVProfileDriverErrorUnknown}));
  recorder.getSessionErrors(errors, false);
  EXPECT_EQ(errors.errorIds(), std::vector<std::string>{QVProfileDriverErrorUnknown});

  recorder.raiseErrorOnStop("");
  recorder.raiseWarningOnStop(QVSamplerWarningBufferCorrupt);
  ASSERT_TRUE(recorder.start());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonNone);
  recorder.getSessionErrors(errors, false);
  EXPECT_EQ(errors.errorCount(), 0u);
  // Warnings alone keep the reason.
  EXPECT_TRUE(recorder.stop());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  recorder.getSessionErrors(errors, false);
  EXPECT_EQ(errors.warningIds(), std::vector<std::string>{QVSamplerWarningBufferCorrupt});
}

// --- Stop reasons set by limits and turned into errors ---------------------

TEST(QVSessionRecorderErrorTest, CollectedErrorsTurnAnyReasonIntoSeven) {
  struct Case {
    const char* name;
    std::function<void(TestRecorder&)> end;
  };
  const std::vector<Case> cases = {
      {"user stop", [](TestRecorder& r) { EXPECT_FALSE(r.stop()); }},
      {"time limit", [](TestRecorder& r) { r.expireTimeLimit(); }},
      {"sample limit", [](TestRecorder& r) { r.reachSampleLimit(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NotificationLog log;
    TestRecorder recorder(MakeConfig());
    log.attach(recorder);
    recorder.raiseErrorOnStop(QVSamplerErrorInsufficientSamples);
    ASSERT_TRUE(recorder.start());
    c.end(recorder);
    EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonError);
    EXPECT_FALSE(recorder.stop());
    // Observers already see the final reason.
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].reason, QVSessionRecorder::StopReasonError);
  }
}

// --- The time-limit timer ---------------------------------------------------

TEST_F(QVSessionRecorderTest, LimitChangedInPlaceStopsRecordingOnTheTimerThread) {
  // The stored configuration is edited, then handed over again: the limit
  // is derived again even though the pointer did not change.
  const auto config = recorder.config();
  config->timeLimitEnable = true;
  config->timeLimit = 0.05;
  ASSERT_TRUE(recorder.setConfig(config));
  ASSERT_TRUE(recorder.start());
  ASSERT_TRUE(log.waitForCount(2)) << "time limit never fired";

  const auto entries = log.entries();
  EXPECT_FALSE(entries[1].active);
  EXPECT_EQ(entries[1].reason, QVSessionRecorder::StopReasonTimeLimit);
  EXPECT_NE(entries[1].thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonTimeLimit);
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopCalls, 1);
}

TEST_F(QVSessionRecorderTest, DisabledOrAbortedLimitsNeverStopTheRecording) {
  auto config = MakeConfig();
  config->timeLimit = 0.05;  // ignored while disabled
  ASSERT_TRUE(recorder.setConfig(config));
  ASSERT_TRUE(recorder.start());
  TestRecorder aborted(MakeConfig(0.05));
  NotificationLog abortedLog;
  abortedLog.attach(aborted);
  ASSERT_TRUE(aborted.start());
  aborted.abort();
  // Four times the limit: a timer that ran would have fired.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(recorder.isActive());
  EXPECT_TRUE(recorder.stop());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_EQ(aborted.stopReason(), QVSessionRecorder::StopReasonAbort);
  EXPECT_EQ(aborted.stopCalls, 0);
  EXPECT_EQ(abortedLog.entries().size(), 2u);
}

TEST_F(QVSessionRecorderTest, ExpiryDuringStopFindsTheRecorderInactive) {
  ASSERT_TRUE(recorder.setConfig(MakeConfig(0.05)));
  ASSERT_TRUE(recorder.start());
  {
    // Holding the recorder's lock past the limit makes the expiry wait for
    // it, as it does when it meets a stop in progress.
    std::lock_guard<std::recursive_mutex> lock(recorder.recorderMutex());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(recorder.stop());
  }
  // Time for the delayed expiry to take the lock and give up.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_EQ(recorder.stopCalls, 1);
  EXPECT_EQ(log.entries().size(), 2u);
}

TEST_F(QVSessionRecorderTest, LateExpiryDoesNotEndTheNextRecording) {
  ASSERT_TRUE(recorder.setConfig(MakeConfig(0.05)));
  ASSERT_TRUE(recorder.start());
  {
    std::lock_guard<std::recursive_mutex> lock(recorder.recorderMutex());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The first recording's expiry is now waiting for the lock; a new
    // recording with a longer limit starts before it gets it.
    ASSERT_TRUE(recorder.stop());
    ASSERT_TRUE(recorder.setConfig(MakeConfig(0.5)));
    ASSERT_TRUE(recorder.start());
  }
  ASSERT_TRUE(log.waitForCount(4)) << "second time limit never fired";
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonTimeLimit);
  // Ended by its own limit, not by the stale expiry (allowing the 1 ms the
  // recorder forgives for clock rounding).
  EXPECT_GE(recorder.durationTicks(), 499000000u);
}

// --- Collecting -------------------------------------------------------------

TEST_F(QVSessionRecorderTest, CollectGivesNullWhileRecordingOneProfileAfterwardsEvenWhenItFailsAndANewStartDropsIt) {
  ASSERT_TRUE(recorder.start());
  EXPECT_EQ(recorder.collect(), nullptr);
  EXPECT_EQ(recorder.collectCalls, 0);
  ASSERT_TRUE(recorder.stop());

  std::shared_ptr<QVSessionProfile> first = recorder.collect();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->config(), recorder.config());
  EXPECT_EQ(first->beginTime(), recorder.startTime());
  EXPECT_EQ(first->endTime(), recorder.endTime());
  EXPECT_EQ(recorder.collect(), first);
  EXPECT_EQ(recorder.collectCalls, 1);

  const std::weak_ptr<QVSessionProfile> held = first;
  first.reset();
  ASSERT_TRUE(recorder.start());
  // The recorder held the only reference.
  EXPECT_TRUE(held.expired());
  EXPECT_EQ(recorder.collect(), nullptr);
  ASSERT_TRUE(recorder.stop());
  // A collect that fails still hands out what was recorded.
  recorder.collectHook = HookAction::Fail;
  std::shared_ptr<QVSessionProfile> second;
  const std::string logged = test::CaptureLog([&] { second = recorder.collect(); });
  EXPECT_NE(second, nullptr);
  EXPECT_THAT(logged, HasSubstr("ERROR failed to collect records"));
  EXPECT_THAT(logged, HasSubstr("DEBUG collected session data in "));
  EXPECT_EQ(recorder.collectCalls, 2);
}

// --- Configuration and flags -----------------------------------------------

TEST_F(QVSessionRecorderTest, ConfigAndFlagsChangeOnlyWhileIdleAndLogTheirNewValue) {
  const auto config = recorder.config();
  ASSERT_TRUE(recorder.start());
  EXPECT_FALSE(recorder.setConfig(MakeConfig(1.0)));
  EXPECT_EQ(recorder.config(), config);
  std::string logged = test::CaptureLog([&] { EXPECT_FALSE(recorder.setCollectCallStacks(false)); });
  EXPECT_THAT(logged, HasSubstr("WARNING unable to set callstack collection while actively sampling"));
  EXPECT_TRUE(recorder.collectCallStacks());
  // Asking for the value already held succeeds even while active.
  EXPECT_TRUE(recorder.setCollectCallStacks(true));
  logged = test::CaptureLog([&] { EXPECT_FALSE(recorder.setGatherKernelSymbols(false)); });
  EXPECT_THAT(logged, HasSubstr("WARNING unable to set gather kernel symbols while actively sampling"));
  EXPECT_TRUE(recorder.gatherKernelSymbols());
  EXPECT_TRUE(recorder.stop());

  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setCollectCallStacks(false)); });
  EXPECT_FALSE(recorder.collectCallStacks());
  EXPECT_THAT(logged, HasSubstr("DEBUG set callstack collection: disabled"));
  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setCollectCallStacks(false)); });
  EXPECT_TRUE(logged.empty()) << logged;
  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setGatherKernelSymbols(false)); });
  EXPECT_THAT(logged, HasSubstr("DEBUG set gather kernel symbols: disabled"));
  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setGatherKernelSymbols(true)); });
  EXPECT_THAT(logged, HasSubstr("DEBUG set gather kernel symbols: enabled"));
  EXPECT_TRUE(recorder.gatherKernelSymbols());

  auto other = MakeConfig(2.0);
  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setConfig(other)); });
  EXPECT_THAT(logged, HasSubstr("DEBUG TestRecorder session config - " + test::Text(other)));
  EXPECT_EQ(recorder.config(), other);
  // The same pointer again: nothing to log, but still accepted.
  logged = test::CaptureLog([&] { EXPECT_TRUE(recorder.setConfig(other)); });
  EXPECT_THAT(logged, Not(HasSubstr("session config")));
}

// --- Observers ---------------------------------------------------------------

TEST_F(QVSessionRecorderTest, ThrowingObserversDoNotStopLaterOnes) {
  int reached = 0;
  recorder.observers().addObserver([](const QVSessionRecorder&) { throw std::runtime_error("observer broke"); });
  recorder.observers().addObserver([](const QVSessionRecorder&) { throw 7; });
  recorder.observers().addObserver(QVSessionRecorder::Observers::Observer());
  recorder.observers().addObserver([&](const QVSessionRecorder&) { ++reached; });

  const std::string logged = test::CaptureLog([&] { ASSERT_TRUE(recorder.start()); });
  EXPECT_EQ(reached, 1);
  EXPECT_THAT(logged, HasSubstr("ERROR caught exception during delegate callback - observer broke"));
  EXPECT_THAT(logged, HasSubstr("ERROR caught exception during delegate callback ["));
  EXPECT_THAT(logged, HasSubstr("ERROR caught exception during delegate callback - call to empty boost::function"));
  EXPECT_TRUE(recorder.isActive());
  EXPECT_TRUE(recorder.stop());
  EXPECT_EQ(reached, 2);
}

TEST(QVSessionRecorderReentryTest, ObserverMayCallTheRecorderFromItsThread) {
  NotificationLog log;
  TestRecorder recorder(MakeConfig());
  // Stops the recording from inside the start notification: the mutex is
  // recursive, so this must neither deadlock nor lose the stop.
  recorder.observers().addObserver([](const QVSessionRecorder& r) {
    if (r.isActive()) {
      const_cast<QVSessionRecorder&>(r).stop();
    }
  });
  log.attach(recorder);
  ASSERT_TRUE(recorder.start());
  EXPECT_FALSE(recorder.isActive());
  EXPECT_EQ(recorder.stopReason(), QVSessionRecorder::StopReasonUser);
  // The stop's notification reaches the second observer first, then the
  // start's notification continues with the state already ended.
  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].reason, QVSessionRecorder::StopReasonUser);
}

// --- Ticks and times ---------------------------------------------------------

// Fixed durations, to check the mapping goes through the virtual getters.
class FixedDurationRecorder : public TestRecorder {
 public:
  FixedDurationRecorder(uint64_t ticks, double seconds)
      : TestRecorder(MakeConfig()), ticks_(ticks), seconds_(seconds) {}
  uint64_t durationTicks() const override { return ticks_; }
  double durationTime() const override { return seconds_; }

 private:
  uint64_t ticks_;
  double seconds_;
};

TEST(QVSessionRecorderTickTest, RoundTripOverARealRecordingKeepsMicrosecondsAndMappingUsesTheVirtualDurations) {
  TestRecorder recorder(MakeConfig());
  ASSERT_TRUE(recorder.start());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(recorder.stop());
  ASSERT_GT(recorder.durationTicks(), 0u);
  ASSERT_GT(recorder.durationTime(), 0.0);

  EXPECT_EQ(recorder.durationTicks(), recorder.endTick() - recorder.startTick());
  EXPECT_DOUBLE_EQ(recorder.timeForTick(recorder.durationTicks()), recorder.durationTime());
  EXPECT_EQ(recorder.tickForTime(0.0), 0u);
  EXPECT_DOUBLE_EQ(recorder.timeForTick(0), 0.0);
  // A double carries the tick count to within one of the original.
  const uint64_t back = recorder.tickForTime(recorder.durationTime());
  EXPECT_LE(back > recorder.durationTicks() ? back - recorder.durationTicks() : recorder.durationTicks() - back, 1u);
  // The duration keeps the wall clock's microseconds.
  const auto span = recorder.endTime() - recorder.startTime();
  EXPECT_NEAR(recorder.durationTime(), static_cast<double>(span.total_microseconds()) / 1e6, 1e-9);
  // Ticks and wall clock measured the same 20 ms sleep; both clocks agree to
  // far better than a second.
  EXPECT_NEAR(recorder.durationTime(), static_cast<double>(recorder.durationTicks()) / 1e9, 1.0);

  // The mapping goes through the virtual durations. 10 ticks over 4 s:
  // tick 5 is 2 s in; 1 s is 2.5 ticks, truncated to 2.
  FixedDurationRecorder fixed(10, 4.0);
  EXPECT_DOUBLE_EQ(fixed.timeForTick(5), 2.0);
  EXPECT_EQ(fixed.tickForTime(1.0), 2u);
  EXPECT_EQ(fixed.tickForTime(0.0), 0u);
  // 2^63 + 2^62 is exact in a double; a conversion through a signed integer
  // would saturate or wrap it.
  const uint64_t ticks = (uint64_t{1} << 63) + (uint64_t{1} << 62);
  FixedDurationRecorder huge(ticks, 2.0);
  EXPECT_EQ(huge.tickForTime(2.0), ticks);
  EXPECT_EQ(huge.tickForTime(1.0), ticks / 2);
}

// --- Dynamic class names ---------------------------------------------------------

struct NamedBase {
  virtual ~NamedBase() = default;
};
struct NamedDerived : NamedBase {};

TEST(QVDynamicClassNameTest, NamesTheDynamicType) {
  NamedDerived derived;
  const NamedBase& base = derived;
  EXPECT_EQ(DynamicClassName(base, false), "Quorvel::(anonymous namespace)::NamedDerived");
  EXPECT_EQ(DynamicClassName(base, true), "NamedDerived");
  // A type outside any namespace is left whole.
  EXPECT_EQ(DynamicClassName(1, true), "int");
}

}  // namespace
}  // namespace Quorvel
