#pragma once

#include <sys/types.h>

namespace Quorvel {

// Switches the effective user and group of the process for the object's
// scope and restores both when it ends. Privileged work runs inside
// QVEffectiveUser(0, 0).
//
// Harmless when nothing needs doing or nothing can be done: already those
// ids, or a switch the process may not make (logged at DEBUG and left as
// is). Effective ids are process-wide, so overlapping scopes on different
// threads see each other's switches; scopes nest correctly on one thread.
class QVEffectiveUser {
 public:
  QVEffectiveUser(uid_t uid, gid_t gid);
  ~QVEffectiveUser();
  QVEffectiveUser(const QVEffectiveUser&) = delete;
  QVEffectiveUser& operator=(const QVEffectiveUser&) = delete;

  // Whether the ids were changed (and will be restored).
  bool switchedUser() const { return switchedUser_; }
  bool switchedGroup() const { return switchedGroup_; }

 private:
  uid_t previousUid_;
  gid_t previousGid_;
  bool switchedUser_ = false;
  bool switchedGroup_ = false;
};

}  // namespace Quorvel
