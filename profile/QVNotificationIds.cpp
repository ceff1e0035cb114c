#include "QVNotificationIds.h"

namespace Quorvel {

// Sampler.
const std::string QVSamplerWarningBufferOverflow = "QVSamplerWarningBufferOverflow";
const std::string QVSamplerWarningBufferCorrupt = "QVSamplerWarningBufferCorrupt";
const std::string QVSamplerWarningSampleLimitReached = "QVSamplerWarningSampleLimitReached";
const std::string QVSamplerWarningSamplingIntervalChanged = "QVSamplerWarningSamplingIntervalChanged";
const std::string QVSamplerErrorInsufficientSamples = "QVSamplerErrorInsufficientSamples";

// Process-exit notifier and its driver.
const std::string QVNotifyWarningBufferOverflow = "QVNotifyWarningBufferOverflow";
const std::string QVNotifyWarningBufferCorrupt = "QVNotifyWarningBufferCorrupt";
const std::string QVNotifyDriverErrorNoDriver = "QVNotifyDriverErrorNoDriver";
const std::string QVNotifyDriverErrorUnknown = "QVNotifyDriverErrorUnknown";
const std::string QVNotifyLinuxErrorFailedToStop = "QVNotifyLinuxErrorFailedToStop";

// Profile drivers.
const std::string QVProfileDriverErrorDriverConflict = "QVProfileDriverErrorDriverConflict";
const std::string QVProfileDriverErrorIncompatibleConfig = "QVProfileDriverErrorIncompatibleConfig";
const std::string QVProfileDriverErrorNoDriver = "QVProfileDriverErrorNoDriver";
const std::string QVProfileDriverErrorTriggerNotAvailable = "QVProfileDriverErrorTriggerNotAvailable";
const std::string QVProfileDriverErrorUnknown = "QVProfileDriverErrorUnknown";
const std::string QVProfileDriverWarningLowCPUFrequency = "QVProfileDriverWarningLowCPUFrequency";
const std::string QVProfileDriverWarningLowMemory = "QVProfileDriverWarningLowMemory";
const std::string QVProfileDriverWarningNoEventList = "QVProfileDriverWarningNoEventList";
const std::string QVProfileDriverWarningNoFramePointer = "QVProfileDriverWarningNoFramePointer";
const std::string QVProfileDriverWarningUnableToDisablePowerManagement =
    "QVProfileDriverWarningUnableToDisablePowerManagement";
const std::string QVProfileDriverWarningUnknown = "QVProfileDriverWarningUnknown";
const std::string QVProfileDriverWarningVirtualMachine = "QVProfileDriverWarningVirtualMachine";

// Linux profile drivers.
const std::string QVProfileDriverLinuxWarningTriggerIntervalTooSmall =
    "QVProfileDriverLinuxWarningTriggerIntervalTooSmall";
const std::string QVProfileDriverLinuxErrorTriggerIntervalTooLarge = "QVProfileDriverErrorTriggerIntervalTooLarge";
const std::string QVProfileDriverLinuxErrorOprofileStuckInTimerMode =
    "QVProfileDriverLinuxErrorOprofileStuckInTimerMode";
const std::string QVProfileDriverLinuxErrorOprofileStuckInEventMode =
    "QVProfileDriverLinuxErrorOprofileStuckInEventMode";

// Back-end recorders.
const std::string QVSamplerLinuxErrorFailedToStop = "QVSamplerLinuxErrorFailedToStop";
const std::string QVSamplerProcessErrorUnableToSampleTargetProcess = "QVSamplerProcessErrorUnableToSampleTargetProcess";
const std::string QVSamplerProcessWarningTargetProcessExited = "QVSamplerProcessWarningTargetProcessExited";
const std::string QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly =
    "QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly";

// No class answers this one.
const std::string QVSamplerFreeBSDWarningBufferOverflow = "QVSamplerFreeBSDWarningBufferOverflow";

}  // namespace Quorvel
