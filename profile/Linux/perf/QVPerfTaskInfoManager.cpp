#include "Linux/perf/QVPerfTaskInfoManager.h"

#include <vector>

#include "Linux/process/QVProcessLinux.h"
#include "Linux/process/QVThreadLinux.h"
#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "system/QVMachine.h"

namespace Quorvel {

QVPerfTaskInfoManager::QVPerfTaskInfoManager(std::shared_ptr<QVSessionConfig> config) : config_(std::move(config)) {}

void QVPerfTaskInfoManager::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  config_ = config;
  clear();
}

void QVPerfTaskInfoManager::clear() {
  byPid_.clear();
  byComm_.clear();
}

void QVPerfTaskInfoManager::addKernelTaskInfo(bool loadNow) {
  std::shared_ptr<QVProcess> kernel = QVProcess::kernelProcessForSystem(QVSystemId::currentSystemId(), loadNow);
  if (!kernel) return;
  std::vector<std::shared_ptr<QVThread>> threads;
  kernel->getThreads(threads, false, false);
  const auto pid = static_cast<int32_t>(kernel->processId().nativeIdentifier());
  for (const std::shared_ptr<QVThread>& thread : threads) {
    auto info = std::make_unique<QVPerfTaskInfo>();
    info->pid = pid;
    info->tid = static_cast<int32_t>(thread->threadId().nativeIdentifier());
    info->threadId = thread->threadId();
    QV_DEBUG("added kernel thread pid:" << info->pid << " tid:" << info->tid);
    byPid_[{info->pid, info->tid}] = std::move(info);
  }
}

const QVPerfTaskInfo* QVPerfTaskInfoManager::findAddTaskInfo(int32_t pid, int32_t tid, const std::string& comm) {
  const bool pidKnown = pid >= 0 && tid >= 0;
  const bool commKnown = tid >= 0 && !comm.empty();
  QVPerfTaskInfo* byPid = nullptr;
  QVPerfTaskInfo* byComm = nullptr;
  if (pidKnown) {
    auto found = byPid_.find({pid, tid});
    if (found != byPid_.end()) byPid = found->second.get();
  }
  if (commKnown) {
    auto found = byComm_.find({comm, tid});
    if (found != byComm_.end()) byComm = found->second.get();
  }

  QVPerfTaskInfo* result = nullptr;
  if (pid < 0 && comm.empty()) {
    for (const auto& entry : byPid_) {
      if (entry.first.second == tid) {
        QV_DEBUG("matched task info for tid:" << tid << " pid:" << entry.first.first << " on tid alone - exited task?");
        return findAddTaskInfo(entry.first.first, tid, comm);
      }
    }
  } else if (byPid) {
    result = byPid;
    if (!(comm.empty() && byPid->comm.empty())) {
      const std::string& key = comm.empty() ? byPid->comm : comm;
      if (!byComm_.count({key, tid})) byComm_[{key, tid}] = std::make_unique<QVPerfTaskInfo>(*byPid);
    }
  } else if (byComm) {
    result = byComm;
    int32_t knownPid = pid;
    if (knownPid < 0 && byComm->threadId.asProcessId().isValid()) {
      knownPid = static_cast<int32_t>(byComm->threadId.asProcessId().nativeIdentifier());
    }
    if (knownPid >= 0 && !byPid_.count({knownPid, tid})) {
      byPid_[{knownPid, tid}] = std::make_unique<QVPerfTaskInfo>(*byComm);
    }
  }

  if (!result && (pid >= 0 || !comm.empty())) {
    QVThreadId threadId;
    if (std::shared_ptr<QVThread> thread = QVThread::threadWithNativeIdentifier(pid >= 1 ? pid : -1, tid, false, false)) {
      threadId = thread->threadId();
    } else if (pid >= 1) {
      std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(pid, false, false);
      const QVProcessId processId =
          process ? process->processId()
                  : QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid, LocalMachineBootTime());
      threadId = QVThreadId::uniqueThreadId(processId, tid, processId.order());
    }
    int32_t knownPid = pid;
    if (threadId.isValid() && knownPid < 0 && threadId.asProcessId().isValid()) {
      knownPid = static_cast<int32_t>(threadId.asProcessId().nativeIdentifier());
    }
    if (threadId.isValid()) {
      QVPerfTaskInfo info{knownPid, tid, comm, threadId};
      if (knownPid >= 0) {
        byPid_[{knownPid, tid}] = std::make_unique<QVPerfTaskInfo>(info);
        result = byPid_[{knownPid, tid}].get();
      }
      if (!comm.empty()) {
        byComm_[{comm, tid}] = std::make_unique<QVPerfTaskInfo>(info);
        if (!result) result = byComm_[{comm, tid}].get();
      }
      const QVProcessId processId = threadId.asProcessId();
      if (!QVProcess::processWithId(processId, false, false)) {
        QVProcess::registerProcess(std::make_shared<QVProcessLinux>(processId, comm, std::string()));
        QV_DEBUG("registered missing process: " << processId);
      }
      if (!QVThread::threadWithId(threadId, false, false)) {
        QVThread::registerThread(std::make_shared<QVThreadLinux>(threadId));
        QV_DEBUG("registered missing thread: " << threadId);
      }
    }
  }

  if (!result) {
    QV_WARNING("insufficient information to create task info for tid:" << tid << " pid:" << pid << " comm:" << comm);
    return nullptr;
  }
  if (!comm.empty() && result->comm.empty()) {
    result->comm = comm;
    QV_DEBUG("filled in missing comm for task info");
  }
  if (pid >= 0 && result->pid < 0) {
    result->pid = pid;
    QV_DEBUG("filled in missing pid for task info");
  }
  return result;
}

}  // namespace Quorvel
