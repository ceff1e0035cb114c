#pragma once

#include "model/QVThread.h"

namespace Quorvel {

// A thread of the kernel process. Kernel threads never exit from the
// profiler's point of view, so it is running whenever it belongs to this
// machine. The threads of process 0 are the per-processor idle tasks.
class QVThreadLinuxKernel : public QVThread {
 public:
  // "thread_type" is "idle" for threads of process 0, else "kernel".
  explicit QVThreadLinuxKernel(const QVThreadId& threadId);

  // True exactly when the thread id belongs to the current system.
  bool isRunning() const override;
  // Kernel threads have no times to refresh.
  void _updateThreadTimeInfo() const override;
};

}  // namespace Quorvel
