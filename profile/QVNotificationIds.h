#pragma once

#include <string>

namespace Quorvel {

// The identifiers by which the library reports problems meant for the user.
// Callers compare their values, so the values are part of the interface:
// each is its own name, except where noted. Initialised when the library
// loads and never changed, so any thread may read them.

// Sampler.
extern const std::string QVSamplerWarningBufferOverflow;
extern const std::string QVSamplerWarningBufferCorrupt;
extern const std::string QVSamplerWarningSampleLimitReached;
extern const std::string QVSamplerWarningSamplingIntervalChanged;
extern const std::string QVSamplerErrorInsufficientSamples;

// Process-exit notifier and its driver.
extern const std::string QVNotifyWarningBufferOverflow;
extern const std::string QVNotifyWarningBufferCorrupt;
extern const std::string QVNotifyDriverErrorNoDriver;
extern const std::string QVNotifyDriverErrorUnknown;
extern const std::string QVNotifyLinuxErrorFailedToStop;

// Profile drivers.
extern const std::string QVProfileDriverErrorDriverConflict;
extern const std::string QVProfileDriverErrorIncompatibleConfig;
extern const std::string QVProfileDriverErrorNoDriver;
extern const std::string QVProfileDriverErrorTriggerNotAvailable;
extern const std::string QVProfileDriverErrorUnknown;
extern const std::string QVProfileDriverWarningLowCPUFrequency;
extern const std::string QVProfileDriverWarningLowMemory;
extern const std::string QVProfileDriverWarningNoEventList;
extern const std::string QVProfileDriverWarningNoFramePointer;
extern const std::string QVProfileDriverWarningUnableToDisablePowerManagement;
extern const std::string QVProfileDriverWarningUnknown;
extern const std::string QVProfileDriverWarningVirtualMachine;

// Linux profile drivers.
extern const std::string QVProfileDriverLinuxWarningTriggerIntervalTooSmall;
// Its value lacks "Linux": front ends compare against that text.
extern const std::string QVProfileDriverLinuxErrorTriggerIntervalTooLarge;
extern const std::string QVProfileDriverLinuxErrorOprofileStuckInTimerMode;
extern const std::string QVProfileDriverLinuxErrorOprofileStuckInEventMode;

// Back-end recorders.
extern const std::string QVSamplerLinuxErrorFailedToStop;
extern const std::string QVSamplerProcessErrorUnableToSampleTargetProcess;
extern const std::string QVSamplerProcessWarningTargetProcessExited;
extern const std::string QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly;

// No class answers this one.
extern const std::string QVSamplerFreeBSDWarningBufferOverflow;

}  // namespace Quorvel
