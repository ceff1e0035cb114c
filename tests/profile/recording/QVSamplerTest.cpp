#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "notify/QVNotificationIds.h"
#include "recording/QVSampler.h"
#include "support/TestRecorder.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using ::testing::HasSubstr;

using test::HookAction;
using test::TestRecorder;

constexpr std::chrono::seconds kDeadline{30};

std::shared_ptr<QVSessionConfig> MakeConfig() {
  return std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
}

std::string Warning(const QVSampler& sampler, const std::string& id) {
  std::ostringstream os;
  EXPECT_TRUE(sampler.getWarningMessage(os, id)) << id;
  return os.str();
}

// --- Sample limit from the configuration -------------------------------------

std::shared_ptr<QVSessionConfig> LimitedConfig(bool enabled, uint64_t limit) {
  auto config = MakeConfig();
  config->sampleLimitEnable = enabled;
  config->sampleLimit = limit;
  return config;
}

TEST(QVSamplerConfigTest, SampleLimitFollowsItsEnableFlagAndStaysWhileActive) {
  TestRecorder sampler(LimitedConfig(true, 5000));
  EXPECT_EQ(sampler.sampleLimit(), 5000u);
  // The number stays in the configuration but no longer limits anything.
  ASSERT_TRUE(sampler.setConfig(LimitedConfig(false, 5000)));
  EXPECT_EQ(sampler.sampleLimit(), 0u);

  const auto config = LimitedConfig(true, 100);
  ASSERT_TRUE(sampler.setConfig(config));
  ASSERT_TRUE(sampler.start());
  EXPECT_FALSE(sampler.setConfig(LimitedConfig(true, 7)));
  EXPECT_EQ(sampler.sampleLimit(), 100u);
  EXPECT_EQ(sampler.config(), config);
  EXPECT_TRUE(sampler.stop());
}

// --- The per-recording archiver and lost samples -----------------------------

TEST(QVSamplerArchiverTest, EachRecordingGetsAFreshArchiverAndLostSamplesWarnAtCollect) {
  TestRecorder sampler(MakeConfig());
  ASSERT_TRUE(sampler.start());
  const auto first = sampler.archiver();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sampler.sampleCount(), 0u);

  // One sample from a made-up user-mode thread; the archiver owns it.
  const QVProcessId process = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 424242, 1);
  const QVThreadId thread = QVThreadId::uniqueThreadId(process, 424243, 1);
  first->archive(QVContext::uniqueContext(thread, 0, QVContext::StateUser), 10, 20, {0x1000, 0x2000});
  EXPECT_EQ(sampler.sampleCount(), 1u);

  ASSERT_TRUE(sampler.stop());
  // The ended recording's samples stay until the next start.
  EXPECT_EQ(sampler.archiver(), first);
  EXPECT_EQ(sampler.sampleCount(), 1u);

  ASSERT_TRUE(sampler.start());
  EXPECT_NE(sampler.archiver(), first);
  EXPECT_EQ(sampler.sampleCount(), 0u);
  // That an aborted recording keeps nothing is checked on a real target.
  sampler.abort();

  // Lost samples become an overflow warning when the recording is collected.
  ASSERT_TRUE(sampler.start());
  sampler.reportLostSamples(3);
  ASSERT_TRUE(sampler.stop());
  EXPECT_EQ(sampler.lostSampleCount(), 3u);

  QVErrorManager errors;
  sampler.getSessionErrors(errors, false);
  EXPECT_EQ(errors.warningCount(), 0u);  // reported only when collected
  ASSERT_NE(sampler.collect(), nullptr);
  sampler.getSessionErrors(errors, false);
  EXPECT_EQ(errors.warningIds(), std::vector<std::string>{QVSamplerWarningBufferOverflow});
  EXPECT_EQ(errors.errorCount(), 0u);

  // The next recording starts with no lost samples and no warning.
  ASSERT_TRUE(sampler.start());
  EXPECT_EQ(sampler.lostSampleCount(), 0u);
  ASSERT_TRUE(sampler.stop());
  ASSERT_NE(sampler.collect(), nullptr);
  sampler.getSessionErrors(errors, false);
  EXPECT_EQ(errors.warningCount(), 0u);
}

// --- Messages ------------------------------------------------------------------

TEST(QVSamplerMessageTest, TextsOfTheSamplersOwnIds) {
  TestRecorder sampler(MakeConfig());
  const std::string tail =
      "\nPlease increase the time between samples or increase the size of the\nprofile driver event buffer.";
  // No count at all for 0, the singular for 1, the plural otherwise.
  const std::pair<uint64_t, std::string> overflows[] = {
      {0, "Profile driver buffer overflow detected: samples have been lost." + tail},
      {1, "Profile driver buffer overflow detected: 1 sample has been lost." + tail},
      {7, "Profile driver buffer overflow detected: 7 samples have been lost." + tail}};
  for (const auto& c : overflows) {
    sampler.reportLostSamples(c.first);
    EXPECT_EQ(Warning(sampler, QVSamplerWarningBufferOverflow), c.second);
  }
  EXPECT_EQ(Warning(sampler, QVSamplerWarningSampleLimitReached),
            "The sample limit has been reached - older samples have been discarded on a FIFO basis. \n"
            "Please increase the time between samples.");
  EXPECT_EQ(Warning(sampler, QVSamplerWarningSamplingIntervalChanged),
            "The sampling interval was changed for optimal performance.");
  std::ostringstream os;
  ASSERT_TRUE(sampler.getErrorMessage(os, QVSamplerErrorInsufficientSamples));
  EXPECT_EQ(os.str(), "Insufficient samples have been collected. Please ensure that the CPUs \nare not idle.");

  const std::string corrupt = Warning(sampler, QVSamplerWarningBufferCorrupt);
  const std::string lead =
      "Profile driver buffer corruption detected - samples have been lost.\nPlease submit a bug report or email ";
  ASSERT_EQ(corrupt.compare(0, lead.size(), lead), 0) << corrupt;
  const std::string contact = corrupt.substr(lead.size());
  EXPECT_NE(contact.find('@'), std::string::npos) << contact;
  EXPECT_EQ(contact.back(), '.');
}

// The recorder answers what the sampler does not: quietly for another
// class's ids, with a logged error for an id without its kind's word.
TEST(QVSamplerMessageTest, OtherIdsFallBackToTheRecorder) {
  TestRecorder sampler(MakeConfig());
  std::ostringstream os;
  std::string logged = test::CaptureLog([&] {
    EXPECT_FALSE(sampler.getWarningMessage(os, QVProfileDriverWarningLowMemory));
    EXPECT_FALSE(sampler.getErrorMessage(os, QVSamplerProcessErrorUnableToSampleTargetProcess));
  });
  EXPECT_TRUE(logged.empty()) << logged;

  logged = test::CaptureLog([&] {
    // Sampler ids asked as the other kind are not the sampler's to answer.
    EXPECT_FALSE(sampler.getErrorMessage(os, QVSamplerWarningBufferOverflow));
    EXPECT_FALSE(sampler.getWarningMessage(os, "foo"));
    EXPECT_FALSE(sampler.getErrorMessage(os, "bar"));
  });
  EXPECT_THAT(logged, HasSubstr("ERROR invalid error id: QVSamplerWarningBufferOverflow"));
  EXPECT_THAT(logged, HasSubstr("ERROR invalid warning id: foo"));
  EXPECT_THAT(logged, HasSubstr("ERROR invalid error id: bar"));
  EXPECT_TRUE(os.str().empty());
}

// --- Stopping at the sample limit -----------------------------------------------

TEST(QVSamplerLimitTest, LimitFromABackEndThreadStopsWithReasonFourAndIsIgnoredWhileInactive) {
  // Declared first: whatever the observer touches must outlive the sampler.
  std::mutex mutex;
  std::condition_variable stopped;
  std::vector<std::thread::id> notifiedOn;
  TestRecorder sampler(MakeConfig());
  sampler.observers().addObserver([&](const QVSessionRecorder& r) {
    if (!r.isActive()) {
      std::lock_guard<std::mutex> lock(mutex);
      notifiedOn.push_back(std::this_thread::get_id());
      stopped.notify_all();
    }
  });
  sampler.reachSampleLimit();  // inactive: ignored
  EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonNone);
  EXPECT_EQ(sampler.stopCalls, 0);
  ASSERT_TRUE(sampler.start());

  std::thread backEnd([&] { sampler.reachSampleLimit(); });
  const std::thread::id backEndId = backEnd.get_id();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(stopped.wait_for(lock, kDeadline, [&] { return !notifiedOn.empty(); }));
  }
  backEnd.join();
  EXPECT_FALSE(sampler.isActive());
  EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonSampleLimit);
  EXPECT_EQ(sampler.stopCalls, 1);
  ASSERT_EQ(notifiedOn.size(), 1u);
  EXPECT_EQ(notifiedOn[0], backEndId);

  // A second report after the stop finds nothing to end.
  sampler.reachSampleLimit();
  EXPECT_EQ(sampler.stopCalls, 1);
  EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonSampleLimit);
}

TEST(QVSamplerLimitTest, LimitWaitsForAStopInProgress) {
  TestRecorder sampler(MakeConfig());
  ASSERT_TRUE(sampler.start());
  sampler.stopHook = HookAction::Block;
  std::thread user([&] { sampler.stop(); });
  ASSERT_TRUE(sampler.waitUntilBlocked(kDeadline));
  // The user's stop holds the lock inside its hook; the back-end's report
  // has to wait for it and then finds the recording over.
  std::thread backEnd([&] { sampler.reachSampleLimit(); });
  sampler.releaseBlocked();
  user.join();
  backEnd.join();
  EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonUser);
  EXPECT_EQ(sampler.stopCalls, 1);
}

struct ThrowCase {
  const char* name;
  HookAction action;
  std::vector<std::string> expectedLines;
};

TEST(QVSamplerLimitTest, ThrowingStopIsLoggedAndBecomesAnAbort) {
  // Whether a trace can be taken depends on the build; when one is, its
  // header line is logged before the trace is printed.
  const bool traces = !QVException("probe", __LINE__, __FILE__).stackTrace().empty();
  const std::vector<ThrowCase> cases = {
      {"QVException",
       HookAction::ThrowQVException,
       {"ERROR Caught QVException in _sampleLimitInternal(): scripted failure", "ERROR  at ",
        "support/TestRecorder.cpp:", traces ? "ERROR Stack Trace: " : ""}},
      {"std::exception",
       HookAction::ThrowStdException,
       {"ERROR Caught exception in _sampleLimitInternal(): scripted failure"}},
      {"other", HookAction::ThrowOther, {"ERROR Caught unknown exception in _sampleLimitInternal()"}},
  };
  for (const ThrowCase& c : cases) {
    SCOPED_TRACE(c.name);
    int notifications = 0;
    TestRecorder sampler(MakeConfig());
    sampler.observers().addObserver([&](const QVSessionRecorder&) { ++notifications; });
    ASSERT_TRUE(sampler.start());
    sampler.stopEntry = c.action;

    const std::string logged = test::CaptureLog([&] { sampler.reachSampleLimit(); });
    for (const std::string& line : c.expectedLines) {
      EXPECT_THAT(logged, HasSubstr(line));
    }
    EXPECT_FALSE(sampler.isActive());
    EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonAbort);
    EXPECT_EQ(sampler.abortCalls, 1);
    EXPECT_EQ(sampler.stopCalls, 0);
    EXPECT_EQ(notifications, 2);  // start, then the abort
  }
}

TEST(QVSamplerLimitTest, ThrowingStopHookStillEndsAsAbort) {
  TestRecorder sampler(MakeConfig());
  ASSERT_TRUE(sampler.start());
  sampler.stopHook = HookAction::ThrowStdException;
  const std::string logged = test::CaptureLog([&] { sampler.reachSampleLimit(); });
  EXPECT_THAT(logged, HasSubstr("Caught exception in _sampleLimitInternal(): scripted failure"));
  EXPECT_FALSE(sampler.isActive());
  EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonAbort);
  // The throw must not leave the stop's log capture open: with no capture
  // running, debug lines are enabled only by their own flags.
  const QVLogFlags debug = GetLogFlags(QVLogLevel::Debug);
  EXPECT_EQ(LogIsEnabled(QVLogLevel::Debug), debug.log || debug.print);
}

}  // namespace
}  // namespace Quorvel
