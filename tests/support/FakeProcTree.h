#pragma once

#include <cstdint>
#include <string>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

// A /proc-like tree under a scratch directory, for readers pointed at it with
// QVSystemPaths::ScopedRoot(tree.root()). It writes files in the kernel's
// formats so that tests state only the values they care about.
class FakeProcTree {
 public:
  // One task's values; the defaults are those of an ordinary sleeping user
  // process.
  struct Task {
    int pid = 0;  // the thread group (process) id
    int tid = 0;  // 0: the process's main thread, same as pid
    std::string name = "task";
    char state = 'S';
    int ppid = 1;
    uint64_t minorFaults = 0;
    uint64_t majorFaults = 0;
    uint64_t userTicks = 0;
    uint64_t systemTicks = 0;
    int threads = 1;
    uint64_t startTicks = 0;
    uint32_t uid = 1000;
    uint32_t gid = 1000;
    uint64_t vmSizeKb = 3060;
    uint64_t vmRssKb = 1724;
    uint64_t vmLibKb = 1528;
    uint64_t voluntarySwitches = 0;
    uint64_t nonvoluntarySwitches = 0;
  };

  // Writes /proc/stat with the given boot time (seconds since the epoch).
  explicit FakeProcTree(uint64_t bootTimeSeconds = 1796497790);

  const std::string& root() const { return scratch_.path(); }

  // Writes stat and status into /proc/<pid>/task/<tid>/ and, for a main
  // thread, into /proc/<pid>/ as well (other threads' own folders are left
  // out because /proc does not list them).
  void addTask(const Task& task);
  // An exe link of the task pointing at target (which need not exist).
  void setExecutable(int id, const std::string& target);
  // Removes /proc/<id> entirely, as when a task is reaped.
  void removeTask(int id);

  // Any file below the root, e.g. writeFile("/proc/7/stat", "garbage").
  void writeFile(const std::string& absolutePath, const std::string& text);
  std::string path(const std::string& absolutePath) const { return root() + absolutePath; }

  static std::string statText(const Task& task);
  static std::string statusText(const Task& task);

 private:
  ScratchDirectory scratch_;
};

}  // namespace test
}  // namespace Quorvel
