package com.quorvel.jni.profile;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.LinkedHashMap;
import java.util.Map;

/**
 * Notification identifiers of the profile library, as a Java front end sees
 * them. Running the class checks every getter against the value the library
 * promises; the first argument is the path of the built library.
 */
public final class QVProfileLibJNI {
  private QVProfileLibJNI() {}

  public static native String QVSamplerLinuxErrorFailedToStop_get();
  public static native String QVProfileDriverLinuxWarningTriggerIntervalTooSmall_get();
  public static native String QVProfileDriverLinuxErrorTriggerIntervalTooLarge_get();
  public static native String QVProfileDriverLinuxErrorOprofileStuckInTimerMode_get();
  public static native String QVProfileDriverLinuxErrorOprofileStuckInEventMode_get();
  public static native String QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly_get();
  public static native String QVNotifyLinuxErrorFailedToStop_get();
  public static native String QVSamplerProcessWarningTargetProcessExited_get();
  public static native String QVSamplerProcessErrorUnableToSampleTargetProcess_get();
  public static native String QVSamplerWarningSamplingIntervalChanged_get();
  public static native String QVSamplerWarningSampleLimitReached_get();
  public static native String QVSamplerWarningBufferCorrupt_get();
  public static native String QVSamplerWarningBufferOverflow_get();
  public static native String QVSamplerErrorInsufficientSamples_get();
  public static native String QVProfileDriverWarningUnableToDisablePowerManagement_get();
  public static native String QVProfileDriverWarningVirtualMachine_get();
  public static native String QVProfileDriverWarningNoFramePointer_get();
  public static native String QVProfileDriverWarningNoEventList_get();
  public static native String QVProfileDriverWarningLowMemory_get();
  public static native String QVProfileDriverWarningLowCPUFrequency_get();
  public static native String QVProfileDriverWarningUnknown_get();
  public static native String QVProfileDriverErrorTriggerNotAvailable_get();
  public static native String QVProfileDriverErrorIncompatibleConfig_get();
  public static native String QVProfileDriverErrorDriverConflict_get();
  public static native String QVProfileDriverErrorNoDriver_get();
  public static native String QVProfileDriverErrorUnknown_get();
  public static native String QVNotifyWarningBufferCorrupt_get();
  public static native String QVNotifyWarningBufferOverflow_get();
  public static native String QVNotifyDriverErrorUnknown_get();
  public static native String QVNotifyDriverErrorNoDriver_get();

  /** Every getter with the value it must return: the identifier's own name,
   *  except for the one value that lacks "Linux". */
  private static Map<String, String> expectedValues() {
    Map<String, String> expected = new LinkedHashMap<>();
    expected.put("QVSamplerLinuxErrorFailedToStop_get", "QVSamplerLinuxErrorFailedToStop");
    expected.put("QVProfileDriverLinuxWarningTriggerIntervalTooSmall_get", "QVProfileDriverLinuxWarningTriggerIntervalTooSmall");
    expected.put("QVProfileDriverLinuxErrorTriggerIntervalTooLarge_get", "QVProfileDriverErrorTriggerIntervalTooLarge");
    expected.put("QVProfileDriverLinuxErrorOprofileStuckInTimerMode_get", "QVProfileDriverLinuxErrorOprofileStuckInTimerMode");
    expected.put("QVProfileDriverLinuxErrorOprofileStuckInEventMode_get", "QVProfileDriverLinuxErrorOprofileStuckInEventMode");
    expected.put("QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly_get", "QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly");
    expected.put("QVNotifyLinuxErrorFailedToStop_get", "QVNotifyLinuxErrorFailedToStop");
    expected.put("QVSamplerProcessWarningTargetProcessExited_get", "QVSamplerProcessWarningTargetProcessExited");
    expected.put("QVSamplerProcessErrorUnableToSampleTargetProcess_get", "QVSamplerProcessErrorUnableToSampleTargetProcess");
    expected.put("QVSamplerWarningSamplingIntervalChanged_get", "QVSamplerWarningSamplingIntervalChanged");
    expected.put("QVSamplerWarningSampleLimitReached_get", "QVSamplerWarningSampleLimitReached");
    expected.put("QVSamplerWarningBufferCorrupt_get", "QVSamplerWarningBufferCorrupt");
    expected.put("QVSamplerWarningBufferOverflow_get", "QVSamplerWarningBufferOverflow");
    expected.put("QVSamplerErrorInsufficientSamples_get", "QVSamplerErrorInsufficientSamples");
    expected.put("QVProfileDriverWarningUnableToDisablePowerManagement_get", "QVProfileDriverWarningUnableToDisablePowerManagement");
    expected.put("QVProfileDriverWarningVirtualMachine_get", "QVProfileDriverWarningVirtualMachine");
    expected.put("QVProfileDriverWarningNoFramePointer_get", "QVProfileDriverWarningNoFramePointer");
    expected.put("QVProfileDriverWarningNoEventList_get", "QVProfileDriverWarningNoEventList");
    expected.put("QVProfileDriverWarningLowMemory_get", "QVProfileDriverWarningLowMemory");
    expected.put("QVProfileDriverWarningLowCPUFrequency_get", "QVProfileDriverWarningLowCPUFrequency");
    expected.put("QVProfileDriverWarningUnknown_get", "QVProfileDriverWarningUnknown");
    expected.put("QVProfileDriverErrorTriggerNotAvailable_get", "QVProfileDriverErrorTriggerNotAvailable");
    expected.put("QVProfileDriverErrorIncompatibleConfig_get", "QVProfileDriverErrorIncompatibleConfig");
    expected.put("QVProfileDriverErrorDriverConflict_get", "QVProfileDriverErrorDriverConflict");
    expected.put("QVProfileDriverErrorNoDriver_get", "QVProfileDriverErrorNoDriver");
    expected.put("QVProfileDriverErrorUnknown_get", "QVProfileDriverErrorUnknown");
    expected.put("QVNotifyWarningBufferCorrupt_get", "QVNotifyWarningBufferCorrupt");
    expected.put("QVNotifyWarningBufferOverflow_get", "QVNotifyWarningBufferOverflow");
    expected.put("QVNotifyDriverErrorUnknown_get", "QVNotifyDriverErrorUnknown");
    expected.put("QVNotifyDriverErrorNoDriver_get", "QVNotifyDriverErrorNoDriver");
    return expected;
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: QVProfileLibJNI <path of libQVProfile>");
      System.exit(2);
    }
    System.load(args[0]);
    Map<String, String> expected = expectedValues();
    int failures = 0;
    int declared = 0;
    for (Method method : QVProfileLibJNI.class.getDeclaredMethods()) {
      if (!Modifier.isNative(method.getModifiers())) {
        continue;
      }
      ++declared;
      String want = expected.get(method.getName());
      if (want == null) {
        System.err.println("no expected value for " + method.getName());
        ++failures;
        continue;
      }
      String got;
      try {
        got = (String) method.invoke(null);
      } catch (java.lang.reflect.InvocationTargetException e) {
        // An UnsatisfiedLinkError here means the library does not export the
        // getter under the name the JVM looks for.
        System.err.println(method.getName() + " failed: " + e.getCause());
        ++failures;
        continue;
      }
      if (!want.equals(got)) {
        System.err.println(method.getName() + " returned \"" + got + "\", expected \"" + want + "\"");
        ++failures;
      }
    }
    if (declared != expected.size()) {
      System.err.println("declared " + declared + " native getters, expected " + expected.size());
      ++failures;
    }
    if (failures != 0) {
      System.err.println(failures + " identifier check(s) failed");
      System.exit(1);
    }
    System.out.println("all " + declared + " identifier getters return their values");
  }
}
