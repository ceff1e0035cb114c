#include "Linux/process/QVThreadLinux.h"

#include <exception>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "base/QVLog.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVProcess.h"
#include "time/QVTime.h"

namespace Quorvel {

// Recursive: discovery registers threads, and registration may come back
// here through lookups that update.
std::recursive_mutex QVThreadLinux::threadIdMapLock;

namespace {

// /proc gives 0 for a start time it could not read; that is "unknown",
// not the epoch.
boost::posix_time::ptime ToTime(uint64_t nanos) {
  return nanos == 0 ? boost::posix_time::ptime() : NanosToUniversalTime(nanos);
}

// The task is gone: exit "now", to the second, which is as precise as the
// start times /proc gives.
boost::posix_time::ptime ExitTimeNow() {
  const boost::posix_time::ptime now = CurrentUniversalTime();
  return boost::posix_time::ptime(now.date(), boost::posix_time::seconds(now.time_of_day().total_seconds()));
}

}  // namespace

QVThreadLinux::QVThreadLinux(const QVThreadId& threadId)
    : QVThread(threadId), taskInfo_(threadId.nativeIdentifier()) {
  _fill();
}

QVThreadLinux::QVThreadLinux(const QVThreadId& threadId, const boost::posix_time::ptime& startTime,
                             const boost::posix_time::ptime& exitTime)
    : QVThread(threadId, startTime, exitTime), taskInfo_(threadId.nativeIdentifier()) {
  _fill();
}

// A kernel thread has no executable; the main thread is the one whose id is
// the process's own. The name is the task's command name when /proc gives
// one, so that unnamed threads still show what they run.
void QVThreadLinux::_fill() {
  if (const uint64_t start = taskInfo_.startTime()) {
    startTime_ = ToTime(start);
  }
  architecture_ = taskInfo_.architecture();
  if (!taskInfo_.name().empty()) {
    name_ = taskInfo_.name();
  }
  const char* type = VAL_THREAD_USER;
  if (taskInfo_.executable().empty()) {
    type = VAL_THREAD_KERNEL;
  } else if (threadId_.nativeIdentifier() == threadId_.asProcessId().nativeIdentifier()) {
    type = VAL_THREAD_USER_MAIN;
  }
  mutableProperties().setString(PROPERTY_THREAD_TYPE, type);
}

// Asked lazily: polling every thread for its exit would cost a /proc read
// per thread and tick, while most exit times are never looked at.
// Re-checked until the task is found gone, then fixed.
void QVThreadLinux::_updateThreadTimeInfo() const {
  if (exitTime_.is_not_a_date_time() && !taskInfo_.isRunning()) {
    exitTime_ = ExitTimeNow();
  }
}

namespace {

// The owning process must be registered before its threads, so that a
// thread's debugger (taken from its process) can be found. A process that
// exits between listing and construction is logged and its threads are
// skipped; the next update finds whatever replaced it.
bool EnsureProcess(const QVProcessId& processId, bool loadSectionMaps) {
  try {
    const std::shared_ptr<QVProcess>& existing = QVProcess::processWithId(processId, false, false);
    if (existing) {
      if (loadSectionMaps) {
        existing->sectionMap();
      }
      return true;
    }
    auto process = std::make_shared<QVProcessLinux>(processId, "", "");
    QVProcess::registerProcess(process);
    if (loadSectionMaps) {
      process->sectionMap();
    }
    return true;
  } catch (const std::exception&) {
    QV_ERROR("failed to create process object for " << processId);
    return false;
  }
}

// Registration may throw on an id taken by another object; a thread that
// cannot be registered is left out, the others still are.
void EnsureThread(const QVThreadId& threadId) {
  // A thread already registered keeps its object: samples taken so far
  // refer to it.
  try {
    if (QVThread::threadWithId(threadId, false, false)) {
      return;
    }
    QVThread::registerThread(std::make_shared<QVThreadLinux>(threadId));
  } catch (const std::exception&) {
    QV_ERROR("failed to create thread object for " << threadId);
  }
}

void RegisterThreads(const std::unordered_set<QVThreadId>& threadIds, bool loadSectionMaps) {
  for (const QVThreadId& threadId : threadIds) {
    if (EnsureProcess(threadId.asProcessId(), loadSectionMaps)) {
      EnsureThread(threadId);
    }
  }
}

}  // namespace

void QVThreadLinux::updateThreadList(bool loadSectionMaps) {
  QVProcessLinux::_init();
  std::lock_guard<std::recursive_mutex> processLock(QVProcessLinux::processIdMapLock);
  std::lock_guard<std::recursive_mutex> threadLock(threadIdMapLock);
  std::unordered_set<QVThreadId> threadIds;
  QVTaskInfoLinux::getThreadIds(threadIds, false);
  RegisterThreads(threadIds, loadSectionMaps);
}

void QVThreadLinux::updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps) {
  QVProcessLinux::_init();
  std::lock_guard<std::recursive_mutex> processLock(QVProcessLinux::processIdMapLock);
  std::lock_guard<std::recursive_mutex> threadLock(threadIdMapLock);
  std::unordered_set<QVThreadId> threadIds;
  QVTaskInfoLinux::getThreadIdsForProcess(processId, threadIds, false);
  RegisterThreads(threadIds, loadSectionMaps);
}

}  // namespace Quorvel
