#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "base/QVErrorManager.h"
#include "notify/QVNotificationIds.h"
#include "notify/QVNotify.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using ::testing::HasSubstr;

// The smallest notifier: monitoring is just the active flag, and the test
// can plant ids in the notifier's collector as the Linux reader would.
class FlagNotify : public QVNotify {
 public:
  bool start() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (active_) {
      return false;
    }
    errors_.clear();
    active_ = true;
    return true;
  }
  bool stop() override {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const bool wasActive = active_;
    active_ = false;
    return wasActive;
  }
  void abort() override { stop(); }
  void warn(const std::string& id) { errors_.setWarningId(id); }
  void fail(const std::string& id) { errors_.setErrorId(id); }
};

TEST(QVNotifyMessageTest, WarningsHaveTextsErrorsBelongToTheDriverAndOtherIdsAnswerFalse) {
  FlagNotify notify;
  std::ostringstream overflow;
  ASSERT_TRUE(notify.getWarningMessage(overflow, QVNotifyWarningBufferOverflow));
  EXPECT_EQ(overflow.str(),
            "Process exit notification driver buffer overflow detected - symbol \n"
            "information may be incomplete. Please try sampling again or increase \n"
            "the size of the notify driver task exit buffer.");

  std::ostringstream corrupt;
  ASSERT_TRUE(notify.getWarningMessage(corrupt, QVNotifyWarningBufferCorrupt));
  const std::string lead =
      "Process exit notification driver buffer corruption detected - symbol \n"
      "information may be incomplete. Please submit a bug report or email \n";
  const std::string text = corrupt.str();
  ASSERT_EQ(text.compare(0, lead.size(), lead), 0) << text;
  // An e-mail address closed by a full stop, on the last line.
  const std::string contact = text.substr(lead.size());
  EXPECT_NE(contact.find('@'), std::string::npos) << contact;
  EXPECT_EQ(contact.back(), '.');
  EXPECT_EQ(contact.find('\n'), std::string::npos);

  // The notifier's errors belong to its driver and Linux reader; the base
  // writes nothing for them. Ids of other classes are quietly not ours;
  // ids without their kind's word are logged.
  std::ostringstream os;
  std::string logged = test::CaptureLog([&] {
    EXPECT_FALSE(notify.getErrorMessage(os, QVNotifyLinuxErrorFailedToStop));
    EXPECT_FALSE(notify.getWarningMessage(os, QVSamplerWarningBufferOverflow));
    EXPECT_FALSE(notify.getErrorMessage(os, QVNotifyDriverErrorNoDriver));
  });
  EXPECT_TRUE(logged.empty()) << logged;
  logged = test::CaptureLog([&] {
    EXPECT_FALSE(notify.getWarningMessage(os, "foo"));
    EXPECT_FALSE(notify.getErrorMessage(os, "bar"));
  });
  EXPECT_THAT(logged, HasSubstr("ERROR invalid warning id: foo"));
  EXPECT_THAT(logged, HasSubstr("ERROR invalid error id: bar"));
  EXPECT_TRUE(os.str().empty());
}

TEST(QVNotifyStateTest, SessionErrorsAreAppendedOrReplaceWhatTheManagerHeld) {
  FlagNotify notify;
  notify.warn(QVNotifyWarningBufferCorrupt);
  notify.fail(QVNotifyLinuxErrorFailedToStop);

  QVErrorManager errors;
  errors.setWarningId(QVSamplerWarningBufferOverflow);
  notify.getSessionErrors(errors, true);
  EXPECT_EQ(errors.warningIds(),
            (std::vector<std::string>{QVSamplerWarningBufferOverflow, QVNotifyWarningBufferCorrupt}));
  EXPECT_EQ(errors.errorIds(), std::vector<std::string>{QVNotifyLinuxErrorFailedToStop});

  notify.getSessionErrors(errors, false);
  EXPECT_EQ(errors.warningIds(), std::vector<std::string>{QVNotifyWarningBufferCorrupt});
}

}  // namespace
}  // namespace Quorvel
