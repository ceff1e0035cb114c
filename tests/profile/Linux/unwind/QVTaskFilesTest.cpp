// The per-thread /proc files a tick reads through descriptors kept open.
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "Linux/unwind/QVTaskFiles.h"
#include "support/FakeProcTree.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace {

using test::FakeProcTree;

// What a tick reads of a thread, for stat, schedstat and syscall texts as
// the kernel writes them and as a hostile or truncated tree might.
TEST(QVTaskFiles, ReadsStateProcessorRunTimeAndTheSyscallLine) {
  struct Case {
    const char* name;
    std::string stat;
    std::string schedstat;
    char state;          // '\0': no stat at all
    int processor;       // -1: not known
    int64_t runtime;     // -1: not known
  };
  FakeProcTree::Task task;
  task.pid = 4000;
  task.state = 'R';
  const std::string kernelStat = FakeProcTree::statText(task);  // processor 1 (field 39)
  task.name = "odd) (name 3";
  const std::string oddName = FakeProcTree::statText(task);
  const Case cases[] = {
      {"as the kernel writes it", kernelStat, "987654321 1200 7\n", 'R', 1, 987654321},
      {"a name with parentheses and spaces", oddName, "5 0 0\n", 'R', 1, 5},
      {"a line that ends before the processor", kernelStat.substr(0, kernelStat.find(" 17 1 0 0")),
       "garbage\n", 'R', -1, -1},
      {"no stat and an empty schedstat", "", "", '\0', -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeProcTree tree;
    tree.writeFile("/proc/4000/stat", c.stat);
    tree.writeFile("/proc/4000/schedstat", c.schedstat);
    QVSystemPaths::ScopedRoot root(tree.root());
    QVTaskFiles files(4000);
    const auto stat = files.stat();
    EXPECT_EQ(c.state, stat ? stat->state : '\0');
    EXPECT_EQ(c.processor, files.lastProcessor());
    const auto runtime = files.runtimeNanos();
    EXPECT_EQ(c.runtime, runtime ? static_cast<int64_t>(*runtime) : -1);
  }
}

// The descriptors stay open and each read starts again at the beginning,
// so a file that changed is read anew, and a thread that is gone reads as
// nothing.
TEST(QVTaskFiles, KeptFilesAreReadAnewEachTime) {
  FakeProcTree tree;
  tree.writeFile("/proc/4001/syscall", "7 0x1 0x2 0x3 0x4 0x5 0x6 0x7ffc1000 0x401000\n");
  tree.writeFile("/proc/4001/schedstat", "100 0 1\n");
  QVSystemPaths::ScopedRoot root(tree.root());
  QVTaskFiles files(4001);
  EXPECT_EQ("7 0x1 0x2 0x3 0x4 0x5 0x6 0x7ffc1000 0x401000\n", std::string(files.syscall()));
  EXPECT_EQ(100u, files.runtimeNanos().value_or(0));
  tree.writeFile("/proc/4001/syscall", "running\n");
  tree.writeFile("/proc/4001/schedstat", "250 0 2\n");
  EXPECT_EQ("running\n", std::string(files.syscall()));
  EXPECT_EQ(250u, files.runtimeNanos().value_or(0));
  QVTaskFiles gone(4002);
  EXPECT_TRUE(gone.syscall().empty());
  EXPECT_FALSE(gone.stat());
}

// This very thread through the real /proc: running, on a processor of this
// machine, and its run time grows with work done between two reads.
TEST(QVTaskFiles, TheRealProcOfThisThread) {
  QVTaskFiles files(static_cast<pid_t>(::syscall(SYS_gettid)));
  const auto stat = files.stat();
  ASSERT_TRUE(stat);
  EXPECT_EQ('R', stat->state);
  EXPECT_GE(files.lastProcessor(), 0);
  EXPECT_LT(files.lastProcessor(), ::sysconf(_SC_NPROCESSORS_CONF));
  const auto before = files.runtimeNanos();
  ASSERT_TRUE(before);
  // A few milliseconds of work; schedstat counts in nanoseconds.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(5);
  volatile unsigned long sink = 0;
  while (std::chrono::steady_clock::now() < until) {
    sink = sink + 1;
  }
  const auto after = files.runtimeNanos();
  ASSERT_TRUE(after);
  EXPECT_GT(*after, *before);
}

}  // namespace
}  // namespace Quorvel
