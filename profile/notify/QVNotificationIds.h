#pragma once

#include <string>

namespace Quorvel {

// The identifiers by which the library reports problems meant for the user.
// Callers compare their values, so the values are part of the interface.
// Initialised when the library loads and never changed, so any thread may
// read them.

#define QV_NOTIFICATION_ID(name) extern const std::string name;
#define QV_NOTIFICATION_ID_WITH_VALUE(name, value) extern const std::string name;
#include "notify/QVNotificationIds.def"
#undef QV_NOTIFICATION_ID
#undef QV_NOTIFICATION_ID_WITH_VALUE

// No class answers this one, and Java front ends do not see it.
extern const std::string QVSamplerFreeBSDWarningBufferOverflow;

}  // namespace Quorvel
