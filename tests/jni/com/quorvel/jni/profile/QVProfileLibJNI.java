package com.quorvel.jni.profile;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;

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

  /** The only getter whose value is not its identifier's own name. */
  private static final String WITHOUT_LINUX = "QVProfileDriverLinuxErrorTriggerIntervalTooLarge";

  /** The value a getter must return: its identifier's name, except for the
   *  one value that lacks "Linux". */
  private static String expectedValue(String getter) {
    String identifier = getter.substring(0, getter.length() - "_get".length());
    return identifier.equals(WITHOUT_LINUX) ? "QVProfileDriverErrorTriggerIntervalTooLarge" : identifier;
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: QVProfileLibJNI <path of libQVProfile>");
      System.exit(2);
    }
    System.load(args[0]);
    int failures = 0;
    int declared = 0;
    for (Method method : QVProfileLibJNI.class.getDeclaredMethods()) {
      if (!Modifier.isNative(method.getModifiers())) {
        continue;
      }
      ++declared;
      String want = expectedValue(method.getName());
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
    if (failures != 0) {
      System.err.println(failures + " identifier check(s) failed");
      System.exit(1);
    }
    System.out.println("all " + declared + " identifier getters return their values");
  }
}
