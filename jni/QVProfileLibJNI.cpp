// Native side of the Java class com.quorvel.jni.profile.QVProfileLibJNI: one
// getter per notification identifier, so that a Java front end compares the
// same values as the library raises.

#include <jni.h>

#include <string>

#include "QVNotificationIds.h"

namespace {

jstring NewJavaString(JNIEnv* env, const std::string& value) { return env->NewStringUTF(value.c_str()); }

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerLinuxErrorFailedToStop_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerLinuxErrorFailedToStop);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverLinuxWarningTriggerIntervalTooSmall_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverLinuxWarningTriggerIntervalTooSmall);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverLinuxErrorTriggerIntervalTooLarge_1get(JNIEnv* env,
                                                                                                   jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverLinuxErrorTriggerIntervalTooLarge);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverLinuxErrorOprofileStuckInTimerMode_1get(JNIEnv* env,
                                                                                                    jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverLinuxErrorOprofileStuckInTimerMode);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverLinuxErrorOprofileStuckInEventMode_1get(JNIEnv* env,
                                                                                                    jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverLinuxErrorOprofileStuckInEventMode);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVNotifyLinuxErrorFailedToStop_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVNotifyLinuxErrorFailedToStop);
}

JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerProcessWarningTargetProcessExited_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerProcessWarningTargetProcessExited);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerProcessErrorUnableToSampleTargetProcess_1get(JNIEnv* env,
                                                                                                   jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerProcessErrorUnableToSampleTargetProcess);
}

JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerWarningSamplingIntervalChanged_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerWarningSamplingIntervalChanged);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerWarningSampleLimitReached_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerWarningSampleLimitReached);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerWarningBufferCorrupt_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerWarningBufferCorrupt);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerWarningBufferOverflow_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerWarningBufferOverflow);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVSamplerErrorInsufficientSamples_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVSamplerErrorInsufficientSamples);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningUnableToDisablePowerManagement_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningUnableToDisablePowerManagement);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningVirtualMachine_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningVirtualMachine);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningNoFramePointer_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningNoFramePointer);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningNoEventList_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningNoEventList);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningLowMemory_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningLowMemory);
}

JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningLowCPUFrequency_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningLowCPUFrequency);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverWarningUnknown_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverWarningUnknown);
}

JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverErrorTriggerNotAvailable_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverErrorTriggerNotAvailable);
}

JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverErrorIncompatibleConfig_1get(
    JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverErrorIncompatibleConfig);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverErrorDriverConflict_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverErrorDriverConflict);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverErrorNoDriver_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverErrorNoDriver);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVProfileDriverErrorUnknown_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVProfileDriverErrorUnknown);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVNotifyWarningBufferCorrupt_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVNotifyWarningBufferCorrupt);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVNotifyWarningBufferOverflow_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVNotifyWarningBufferOverflow);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVNotifyDriverErrorUnknown_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVNotifyDriverErrorUnknown);
}

JNIEXPORT jstring JNICALL
Java_com_quorvel_jni_profile_QVProfileLibJNI_QVNotifyDriverErrorNoDriver_1get(JNIEnv* env, jclass /*unused*/) {
  return NewJavaString(env, Quorvel::QVNotifyDriverErrorNoDriver);
}

}  // extern "C"
