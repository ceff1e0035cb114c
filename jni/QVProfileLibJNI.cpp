// Native side of the Java class com.quorvel.jni.profile.QVProfileLibJNI: one
// getter per notification identifier, so that a Java front end compares the
// same values as the library raises. The getters come from the list that
// defines the identifiers, so the two cannot drift apart.

#include <jni.h>

#include "notify/QVNotificationIds.h"

extern "C" {

#define QV_NOTIFICATION_ID(name)                                                                               \
  JNIEXPORT jstring JNICALL Java_com_quorvel_jni_profile_QVProfileLibJNI_##name##_1get(JNIEnv* env, jclass) { \
    return env->NewStringUTF(Quorvel::name.c_str());                                                          \
  }
#define QV_NOTIFICATION_ID_WITH_VALUE(name, value) QV_NOTIFICATION_ID(name)
#include "notify/QVNotificationIds.def"
#undef QV_NOTIFICATION_ID
#undef QV_NOTIFICATION_ID_WITH_VALUE

}  // extern "C"
