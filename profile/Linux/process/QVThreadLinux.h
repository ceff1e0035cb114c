#pragma once

#include "model/QVThread.h"
#include "proc/QVTaskInfoLinux.h"

namespace Quorvel {

// A thread of a user process on this machine, filled once from /proc at
// construction; only its exit time is refreshed later, on demand.
//
// Property "thread_type": "kernel" for a task without an executable (a
// kernel thread), "main" for the thread whose id is its process's, "user"
// for the others.
class QVThreadLinux : public QVThread {
 public:
  explicit QVThreadLinux(const QVThreadId& threadId);
  QVThreadLinux(const QVThreadId& threadId, const boost::posix_time::ptime& startTime,
                const boost::posix_time::ptime& exitTime);

  const QVTaskInfoLinux& taskInfo() const { return taskInfo_; }

  // Fixes the exit time at the first call that finds the task gone, to the
  // second; a set exit time never changes.
  void _updateThreadTimeInfo() const override;

  // Register every live thread (of every process, or of one) not yet known,
  // with its process when that is missing. Take the process discovery lock,
  // then the thread discovery lock. Failures are logged and skipped.
  static void updateThreadList(bool loadSectionMaps);
  static void updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps);

  // Guards thread discovery; always taken after the process discovery lock.
  static std::recursive_mutex threadIdMapLock;

 private:
  void _fill();

  QVTaskInfoLinux taskInfo_;
};

}  // namespace Quorvel
