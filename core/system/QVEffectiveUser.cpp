#include "system/QVEffectiveUser.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "base/QVLog.h"

namespace Quorvel {

namespace {

bool setUser(uid_t uid) {
  if (::seteuid(uid) == 0) {
    return true;
  }
  QV_DEBUG("unable to switch effective user from " << ::geteuid() << " to " << uid << " - " << ::strerror(errno));
  return false;
}

bool setGroup(gid_t gid) {
  if (::setegid(gid) == 0) {
    return true;
  }
  QV_DEBUG("unable to switch effective group from " << ::getegid() << " to " << gid << " - " << ::strerror(errno));
  return false;
}

// Changes both ids in the order that keeps the privilege for the second
// change: as root the group goes first (root may set any group, the user
// being switched to may not); otherwise the user goes first, which may make
// us root (real or saved user 0) and so allow the group.
void switchIds(uid_t uid, gid_t gid, bool changeUser, bool changeGroup, bool& userDone, bool& groupDone) {
  if (::geteuid() == 0) {
    groupDone = changeGroup && setGroup(gid);
    userDone = changeUser && setUser(uid);
  } else {
    userDone = changeUser && setUser(uid);
    groupDone = changeGroup && setGroup(gid);
  }
}

}  // namespace

QVEffectiveUser::QVEffectiveUser(uid_t uid, gid_t gid) : previousUid_(::geteuid()), previousGid_(::getegid()) {
  switchIds(uid, gid, uid != previousUid_, gid != previousGid_, switchedUser_, switchedGroup_);
}

QVEffectiveUser::~QVEffectiveUser() {
  bool userRestored = false;
  bool groupRestored = false;
  switchIds(previousUid_, previousGid_, switchedUser_, switchedGroup_, userRestored, groupRestored);
  if (switchedUser_ && !userRestored) {
    QV_ERROR("unable to restore effective user " << previousUid_);
  }
  if (switchedGroup_ && !groupRestored) {
    QV_ERROR("unable to restore effective group " << previousGid_);
  }
}

}  // namespace Quorvel
