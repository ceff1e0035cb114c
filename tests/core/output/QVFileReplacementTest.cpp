#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output/QVFileReplacement.h"
#include "system/QVFileUtils.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

bool Replace(const std::string& path, const std::string& content, std::string& error) {
  QVFileReplacement file(path);
  bool ok = file.open() && ::write(file.fd(), content.data(), content.size()) == ssize_t(content.size()) &&
            file.commit();
  error = file.error();
  return ok;
}

// Each target is made in a fresh scratch directory; the write must be
// refused and the target left as it was (same kind, same inode).
TEST(QVFileReplacementTest, NonRegularTargetsAreRefusedAndLeftAlone) {
  struct Case {
    const char* name;
    const char* kind;
    std::function<int(const std::string&)> make;  // 0, or errno when refused
  } cases[] = {
      {"fifo", "FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0666) == 0 ? 0 : errno; }},
      {"character device (1,3 is /dev/null)", "device",
       [](const std::string& p) { return ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 ? 0 : errno; }},
      {"directory", "directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0755) == 0 ? 0 : errno; }},
      {"socket", "socket",
       [](const std::string& p) {
         int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, p.c_str(), sizeof address.sun_path - 1);
         int result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
         ::close(fd);
         return result;
       }},
  };
  for (const Case& c : cases) {
    test::ScratchDirectory scratch("qvreplace");
    const std::string target = scratch.file("out.qvprof");
    if (int error = c.make(target)) {
      std::cout << "[  SKIPPED ] " << c.name << ": cannot be made here: " << std::strerror(error) << "\n";
      continue;
    }
    struct stat before {};
    ASSERT_EQ(0, ::lstat(target.c_str(), &before));
    EXPECT_NE("", QVFileReplacement::whyNotReplaceable(target)) << c.name;
    std::string error;
    EXPECT_FALSE(Replace(target, "data", error)) << c.name;
    EXPECT_NE(std::string::npos, error.find("not a regular file")) << c.name << ": " << error;
    struct stat after {};
    ASSERT_EQ(0, ::lstat(target.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino) << c.name;
    EXPECT_EQ(before.st_mode, after.st_mode) << c.name;
    EXPECT_EQ(std::vector<std::string>{"out.qvprof"}, test::DirectoryEntries(scratch.path()))
        << c.name << ": nothing beside it";
  }
}

// A file planted with set-id bits: only its permission bits carry over, and
// only when the writer owns it; another user's file gives the default mode.
TEST(QVFileReplacementTest, PlantedSetIdFileGivesOnlyPermissionBits) {
  struct Case {
    const char* name;
    uid_t owner;
    mode_t expected;
  } cases[] = {
      {"owned by the writer", ::geteuid(), 0777},
      {"owned by another user", ::geteuid() == 0 ? uid_t(65534) : uid_t(-1), QVFileReplacement::defaultMode()},
  };
  for (const Case& c : cases) {
    if (c.owner == uid_t(-1)) {
      std::cout << "[  SKIPPED ] " << c.name << ": only root can plant another user's file\n";
      continue;
    }
    test::ScratchDirectory scratch("qvreplace");
    const std::string target = scratch.file("out.qvprof");
    int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::fchmod(fd, 06777));
    ASSERT_EQ(0, ::fchown(fd, c.owner, uid_t(-1)));
    ASSERT_EQ(0, ::fchmod(fd, 06777)) << "chown clears set-id bits; set them again";
    ::close(fd);
    std::string error;
    ASSERT_TRUE(Replace(target, "new", error)) << c.name << ": " << error;
    struct stat after {};
    ASSERT_EQ(0, ::lstat(target.c_str(), &after));
    EXPECT_TRUE(S_ISREG(after.st_mode));
    EXPECT_EQ(c.expected, after.st_mode & 07777) << c.name;
    EXPECT_EQ(::geteuid(), after.st_uid) << c.name;
  }
}

// A writer killed in the middle of a large write leaves the old target and
// nothing beside it (the content goes to an unnamed file until commit).
TEST(QVFileReplacementTest, WriterKilledDuringTheWriteLeavesNothingBehind) {
  test::ScratchDirectory scratch("qvreplace");
  const std::string target = scratch.file("out.qvprof");
  std::string error;
  ASSERT_TRUE(Replace(target, "old", error)) << error;
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t child = test::StartChild([&] {
    QVFileReplacement file(target);
    if (!file.open()) return 1;
    const std::string block(1 << 20, 'x');
    (void)!::write(ready[1], "r", 1);
    // Keeps writing until killed; commit is never reached.
    for (;;) {
      if (::write(file.fd(), block.data(), block.size()) < 0) return 2;
      ::lseek(file.fd(), 0, SEEK_SET);
    }
  });
  ASSERT_GT(child, 0);
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1)) << "the child could not open the replacement";
  ::close(ready[0]);
  ASSERT_EQ(0, ::kill(child, SIGKILL));
  EXPECT_EQ(test::WaitForChild(child), 128 + SIGKILL);
  EXPECT_EQ(std::vector<std::string>{"out.qvprof"}, test::DirectoryEntries(scratch.path()));
  std::string content;
  ASSERT_TRUE(FileReadString(target, content));
  EXPECT_EQ("old", content);
}

}  // namespace
}  // namespace Quorvel
