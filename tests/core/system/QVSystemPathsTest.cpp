#include "system/QVSystemPaths.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace Quorvel {
namespace {

TEST(QVSystemPathsTest, RedirectsOnlyTheSystemTreesAndOnlyUnderARoot) {
  ASSERT_TRUE(QVSystemPaths::root().empty());
  EXPECT_EQ(QVSystemPaths::path("/proc/cpuinfo"), "/proc/cpuinfo");
  QVSystemPaths::ScopedRoot root("/fixture/");
  EXPECT_EQ(QVSystemPaths::root(), "/fixture");
  EXPECT_EQ(QVSystemPaths::path("/proc/cpuinfo"), "/fixture/proc/cpuinfo");
  EXPECT_EQ(QVSystemPaths::path("/proc"), "/fixture/proc");
  EXPECT_EQ(QVSystemPaths::path("/sys/devices/system/cpu/possible"), "/fixture/sys/devices/system/cpu/possible");
  EXPECT_EQ(QVSystemPaths::path("/dev/qvprofile/cpu_type"), "/fixture/dev/qvprofile/cpu_type");
  EXPECT_EQ(QVSystemPaths::path("/lib/modules/6.1.0/modules.dep"), "/fixture/lib/modules/6.1.0/modules.dep");
  EXPECT_EQ(QVSystemPaths::path("/boot/vmlinux-6.1.0"), "/fixture/boot/vmlinux-6.1.0");
  EXPECT_EQ(QVSystemPaths::path("/etc/os-release"), "/fixture/etc/os-release");
  EXPECT_EQ(QVSystemPaths::path("/run/qvprof/cpufreq.state"), "/fixture/run/qvprof/cpufreq.state");
  EXPECT_EQ(QVSystemPaths::path("/usr/lib/debug/boot/vmlinux"), "/fixture/usr/lib/debug/boot/vmlinux");
  // Neighbours that merely share a prefix, and everything else, stay.
  EXPECT_EQ(QVSystemPaths::path("/procfs/x"), "/procfs/x");
  EXPECT_EQ(QVSystemPaths::path("/library"), "/library");
  EXPECT_EQ(QVSystemPaths::path("/running"), "/running");
  EXPECT_EQ(QVSystemPaths::path("/usr/lib/x86_64-linux-gnu/libc.so.6"), "/usr/lib/x86_64-linux-gnu/libc.so.6");
  EXPECT_EQ(QVSystemPaths::path("/tmp/quorvel-perf-sample.data"), "/tmp/quorvel-perf-sample.data");
  EXPECT_EQ(QVSystemPaths::path("relative/proc"), "relative/proc");
}

TEST(QVSystemPathsTest, ScopedRootsNestAndRestore) {
  const uint64_t before = QVSystemPaths::generation();
  {
    QVSystemPaths::ScopedRoot outer("/outer");
    {
      QVSystemPaths::ScopedRoot inner("/inner");
      EXPECT_EQ(QVSystemPaths::path("/proc/stat"), "/inner/proc/stat");
    }
    EXPECT_EQ(QVSystemPaths::path("/proc/stat"), "/outer/proc/stat");
    QVSystemPaths::clearRoot();
    EXPECT_EQ(QVSystemPaths::path("/proc/stat"), "/proc/stat");
  }
  EXPECT_TRUE(QVSystemPaths::root().empty());
  EXPECT_NE(QVSystemPaths::generation(), before) << "readers caching by generation must see the change";
}

TEST(QVSystemPathsTest, ReadsAreSafeWhileTheRootChanges) {
  // Run under ThreadSanitizer to be meaningful; here it checks that every
  // answer is one of the two consistent ones.
  std::atomic<bool> stop{false};
  std::atomic<int> inconsistent{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        const std::string path = QVSystemPaths::path("/proc/stat");
        if (path != "/proc/stat" && path != "/fixture-a/proc/stat") {
          ++inconsistent;
        }
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    QVSystemPaths::setRoot("/fixture-a");
    QVSystemPaths::clearRoot();
  }
  stop = true;
  for (std::thread& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(inconsistent, 0);
}

}  // namespace
}  // namespace Quorvel
