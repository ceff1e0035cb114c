#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "QVNotificationIds.h"

namespace Quorvel {
namespace {

// Front ends compare these values, so each is checked against its literal
// text rather than against another constant.
TEST(QVNotificationIdsTest, ValuesAreTheirNames) {
  const std::vector<std::pair<const std::string*, const char*>> ids = {
      {&QVSamplerWarningBufferOverflow, "QVSamplerWarningBufferOverflow"},
      {&QVSamplerWarningBufferCorrupt, "QVSamplerWarningBufferCorrupt"},
      {&QVSamplerWarningSampleLimitReached, "QVSamplerWarningSampleLimitReached"},
      {&QVSamplerWarningSamplingIntervalChanged, "QVSamplerWarningSamplingIntervalChanged"},
      {&QVSamplerErrorInsufficientSamples, "QVSamplerErrorInsufficientSamples"},
      {&QVNotifyWarningBufferOverflow, "QVNotifyWarningBufferOverflow"},
      {&QVNotifyWarningBufferCorrupt, "QVNotifyWarningBufferCorrupt"},
      {&QVNotifyDriverErrorNoDriver, "QVNotifyDriverErrorNoDriver"},
      {&QVNotifyDriverErrorUnknown, "QVNotifyDriverErrorUnknown"},
      {&QVNotifyLinuxErrorFailedToStop, "QVNotifyLinuxErrorFailedToStop"},
      {&QVProfileDriverErrorDriverConflict, "QVProfileDriverErrorDriverConflict"},
      {&QVProfileDriverErrorIncompatibleConfig, "QVProfileDriverErrorIncompatibleConfig"},
      {&QVProfileDriverErrorNoDriver, "QVProfileDriverErrorNoDriver"},
      {&QVProfileDriverErrorTriggerNotAvailable, "QVProfileDriverErrorTriggerNotAvailable"},
      {&QVProfileDriverErrorUnknown, "QVProfileDriverErrorUnknown"},
      {&QVProfileDriverWarningLowCPUFrequency, "QVProfileDriverWarningLowCPUFrequency"},
      {&QVProfileDriverWarningLowMemory, "QVProfileDriverWarningLowMemory"},
      {&QVProfileDriverWarningNoEventList, "QVProfileDriverWarningNoEventList"},
      {&QVProfileDriverWarningNoFramePointer, "QVProfileDriverWarningNoFramePointer"},
      {&QVProfileDriverWarningUnableToDisablePowerManagement, "QVProfileDriverWarningUnableToDisablePowerManagement"},
      {&QVProfileDriverWarningUnknown, "QVProfileDriverWarningUnknown"},
      {&QVProfileDriverWarningVirtualMachine, "QVProfileDriverWarningVirtualMachine"},
      {&QVProfileDriverLinuxWarningTriggerIntervalTooSmall, "QVProfileDriverLinuxWarningTriggerIntervalTooSmall"},
      {&QVProfileDriverLinuxErrorOprofileStuckInTimerMode, "QVProfileDriverLinuxErrorOprofileStuckInTimerMode"},
      {&QVProfileDriverLinuxErrorOprofileStuckInEventMode, "QVProfileDriverLinuxErrorOprofileStuckInEventMode"},
      {&QVSamplerLinuxErrorFailedToStop, "QVSamplerLinuxErrorFailedToStop"},
      {&QVSamplerProcessErrorUnableToSampleTargetProcess, "QVSamplerProcessErrorUnableToSampleTargetProcess"},
      {&QVSamplerProcessWarningTargetProcessExited, "QVSamplerProcessWarningTargetProcessExited"},
      {&QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly, "QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly"},
      {&QVSamplerFreeBSDWarningBufferOverflow, "QVSamplerFreeBSDWarningBufferOverflow"},
  };
  std::set<std::string> distinct;
  for (const auto& id : ids) {
    EXPECT_EQ(*id.first, id.second);
    distinct.insert(*id.first);
  }
  EXPECT_EQ(distinct.size(), ids.size());
}

TEST(QVNotificationIdsTest, TriggerIntervalTooLargeLacksLinux) {
  EXPECT_EQ(QVProfileDriverLinuxErrorTriggerIntervalTooLarge, "QVProfileDriverErrorTriggerIntervalTooLarge");
}

}  // namespace
}  // namespace Quorvel
