#include "system/QVEffectiveUser.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace {

bool lookUpNobody(uid_t& uid, gid_t& gid) {
  const struct passwd* entry = ::getpwnam("nobody");
  if (entry == nullptr || entry->pw_uid == 0) {
    return false;
  }
  uid = entry->pw_uid;
  gid = entry->pw_gid;
  return true;
}

TEST(QVEffectiveUserTest, RootSwitchesToNobodyAndBack) {
  uid_t nobody = 0;
  gid_t nogroup = 0;
  if (::geteuid() != 0 || ::getuid() != 0) {
    GTEST_SKIP() << "switching users needs root";
  }
  if (!lookUpNobody(nobody, nogroup)) {
    GTEST_SKIP() << "no unprivileged 'nobody' account";
  }
  test::ScratchDirectory scratch("qveffectiveuser");
  ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
  const std::string secret = scratch.file("secret");
  ASSERT_TRUE(FileWriteString(secret, "root only"));
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);

  {
    QVEffectiveUser user(nobody, nogroup);
    EXPECT_TRUE(user.switchedUser());
    EXPECT_TRUE(user.switchedGroup());
    EXPECT_EQ(::geteuid(), nobody);
    EXPECT_EQ(::getegid(), nogroup);
    EXPECT_EQ(::getuid(), 0u) << "the real user stays";
    EXPECT_FALSE(FileCanRead(secret));
    {
      // Privileged work inside an unprivileged scope, as the library nests
      // them: back to root while the inner scope lasts.
      QVEffectiveUser root(0, 0);
      EXPECT_EQ(::geteuid(), 0u);
      EXPECT_EQ(::getegid(), 0u);
      EXPECT_TRUE(FileCanRead(secret));
    }
    EXPECT_EQ(::geteuid(), nobody);
    EXPECT_EQ(::getegid(), nogroup);
  }
  EXPECT_EQ(::geteuid(), 0u);
  EXPECT_EQ(::getegid(), 0u);
  EXPECT_TRUE(FileCanRead(secret));
}

// Exit codes of the unprivileged child below, one per failed check.
enum ChildResult { kChildOk = 0, kChildDropFailed = 10, kChildUserChanged, kChildFlagged, kChildNotRestored };

int checkRootScopeAsUnprivileged() {
  QVEffectiveUser root(0, 0);
  if (::geteuid() == 0 || ::getegid() == 0) {
    return kChildUserChanged;
  }
  if (root.switchedUser() || root.switchedGroup()) {
    return kChildFlagged;
  }
  return kChildOk;
}

// The same ids, or root asked for by an unprivileged user, change nothing.
TEST(QVEffectiveUserTest, SameIdsOrRootAskedForWithoutPrivilegeChangeNothing) {
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  const std::pair<uid_t, gid_t> asked[] = {{uid, gid}, {0, 0}};
  for (const auto& ids : asked) {
    {
      QVEffectiveUser scope(ids.first, ids.second);
      EXPECT_FALSE(scope.switchedUser());
      EXPECT_FALSE(scope.switchedGroup());
      EXPECT_EQ(::geteuid(), uid);
      EXPECT_EQ(::getegid(), gid);
    }
    EXPECT_EQ(::geteuid(), uid);
    EXPECT_EQ(::getegid(), gid);
  }
  if (uid != 0) {
    return;
  }
  uid_t nobody = 0;
  gid_t nogroup = 0;
  if (!lookUpNobody(nobody, nogroup)) {
    GTEST_SKIP() << "no unprivileged 'nobody' account";
  }
  // As root, drop every id for good in a child and try from there.
  EXPECT_EQ(test::RunInChild([&] {
              if (::setresgid(nogroup, nogroup, nogroup) != 0 || ::setresuid(nobody, nobody, nobody) != 0) {
                return static_cast<int>(kChildDropFailed);
              }
              const uid_t dropped = ::geteuid();
              const int result = checkRootScopeAsUnprivileged();
              return result == kChildOk && ::geteuid() != dropped ? static_cast<int>(kChildNotRestored) : result;
            }),
            kChildOk);
}

}  // namespace
}  // namespace Quorvel
