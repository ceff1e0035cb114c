#include "system/QVSystemPaths.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace Quorvel {
namespace {

TEST(QVSystemPathsTest, RedirectsOnlyTheSystemTreesAndOnlyUnderARoot) {
  ASSERT_TRUE(QVSystemPaths::root().empty());
  EXPECT_EQ(QVSystemPaths::path("/proc/cpuinfo"), "/proc/cpuinfo");
  QVSystemPaths::ScopedRoot root("/fixture/");
  EXPECT_EQ(QVSystemPaths::root(), "/fixture");
  // Neighbours that merely share a prefix, and everything else, stay.
  const std::pair<const char*, bool> cases[] = {
      {"/proc/cpuinfo", true}, {"/proc", true}, {"/sys/devices/system/cpu/possible", true},
      {"/dev/qvprofile/cpu_type", true}, {"/lib/modules/6.1.0/modules.dep", true}, {"/boot/vmlinux-6.1.0", true},
      {"/etc/os-release", true}, {"/run/qvprof/cpufreq.state", true}, {"/usr/lib/debug/boot/vmlinux", true},
      {"/procfs/x", false}, {"/library", false}, {"/running", false},
      {"/usr/lib/x86_64-linux-gnu/libc.so.6", false}, {"/tmp/quorvel-perf-sample.data", false},
      {"relative/proc", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(QVSystemPaths::path(c.first), (c.second ? "/fixture" : "") + std::string(c.first));
  }
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
