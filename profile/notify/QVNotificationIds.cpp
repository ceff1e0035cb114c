#include "notify/QVNotificationIds.h"

namespace Quorvel {

#define QV_NOTIFICATION_ID(name) const std::string name = #name;
#define QV_NOTIFICATION_ID_WITH_VALUE(name, value) const std::string name = value;
#include "notify/QVNotificationIds.def"
#undef QV_NOTIFICATION_ID
#undef QV_NOTIFICATION_ID_WITH_VALUE

const std::string QVSamplerFreeBSDWarningBufferOverflow = "QVSamplerFreeBSDWarningBufferOverflow";

}  // namespace Quorvel
