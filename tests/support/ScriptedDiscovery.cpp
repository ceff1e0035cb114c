#include "support/ScriptedDiscovery.h"

#include "model/QVProcess.h"
#include "model/QVThread.h"

namespace Quorvel {
namespace test {

void ScriptedDiscovery::queue(const std::shared_ptr<QVProcess>& process) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(process);
}

void ScriptedDiscovery::updateProcessList(bool) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++scans;
  for (const auto& process : queued_) QVProcess::registerProcess(process);
}

QVProcessId ScriptedDiscovery::updateProcessList(int pid, bool) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++pidUpdates;
  lastPid = pid;
  for (const auto& process : queued_) {
    if (process->processId().nativeIdentifier() != pid) continue;
    QVProcess::registerProcess(process);
    return process->processId();
  }
  return QVProcessId::invalid();
}

void ScriptedDiscovery::updateThreadListForProcess(const QVProcessId& processId, bool) {
  ++processThreadUpdates;
  lastProcess = processId;
  if (thread) QVThread::registerThread(thread);
}

}  // namespace test
}  // namespace Quorvel
