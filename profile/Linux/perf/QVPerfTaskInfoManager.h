#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "config/QVSessionConfig.h"
#include "ids/QVThreadId.h"

namespace Quorvel {

// What perf told about one task: its numbers, its command name and the
// library's thread id for it. pid -1 and an empty comm mean unknown.
struct QVPerfTaskInfo {
  int32_t pid = -1;
  int32_t tid = -1;
  std::string comm;
  QVThreadId threadId;
};

// Turns perf's partial descriptions of tasks (pid and tid from samples and
// COMM/EXIT records, tid and comm alone from sched_switch) into one task
// info carrying a thread id, merges what later records add, and registers
// a process and a thread for every task that the registries do not know
// yet. Perf's own view of the system is the authority here: a task that
// exited before collection still gets its objects. Used from the
// collecting thread only.
class QVPerfTaskInfoManager {
 public:
  explicit QVPerfTaskInfoManager(std::shared_ptr<QVSessionConfig> config);
  virtual ~QVPerfTaskInfoManager() = default;

  const std::shared_ptr<QVSessionConfig>& config() const { return config_; }
  void setConfig(const std::shared_ptr<QVSessionConfig>& config);
  void clear();
  // Enters every thread of the kernel process under its numbers.
  void addKernelTaskInfo(bool loadNow);
  // The task info for (pid, tid, comm), created when the numbers suffice;
  // null (with a warning) when they do not.
  const QVPerfTaskInfo* findAddTaskInfo(int32_t pid, int32_t tid, const std::string& comm);

 private:
  std::shared_ptr<QVSessionConfig> config_;
  std::map<std::pair<int32_t, int32_t>, std::unique_ptr<QVPerfTaskInfo>> byPid_;
  std::map<std::pair<std::string, int32_t>, std::unique_ptr<QVPerfTaskInfo>> byComm_;
};

}  // namespace Quorvel
