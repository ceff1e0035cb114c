#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "ids/QVProcessId.h"
#include "model/QVProcessDiscovery.h"

namespace Quorvel {

class QVThread;

namespace test {

// Stands in for the platform's discovery: it finds the processes and the
// thread a test queues for it, answers the kernel process it is given and
// counts every question. Safe to queue from a test thread while a timer
// thread scans.
class ScriptedDiscovery : public QVProcessDiscovery {
 public:
  // Queued processes are registered by every full scan (registering one
  // again changes nothing) and by a look for their pid.
  void queue(const std::shared_ptr<QVProcess>& process);

  void updateProcessList(bool) override;
  QVProcessId updateProcessList(int pid, bool) override;
  void updateThreadList(bool) override { ++threadListUpdates; }
  // Registers `thread`, when set.
  void updateThreadListForProcess(const QVProcessId& processId, bool) override;
  std::shared_ptr<QVProcess> currentKernelProcess(bool) override { return kernel; }

  std::shared_ptr<QVProcess> kernel;
  std::shared_ptr<QVThread> thread;
  std::atomic<int> scans{0};
  std::atomic<int> pidUpdates{0};
  std::atomic<int> threadListUpdates{0};
  std::atomic<int> processThreadUpdates{0};
  int lastPid = -1;
  QVProcessId lastProcess;

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<QVProcess>> queued_;
};

}  // namespace test
}  // namespace Quorvel
