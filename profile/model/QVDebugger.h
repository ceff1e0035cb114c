#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "ids/QVProcessId.h"
#include "ids/QVThreadId.h"
#include "ranges/QVRange.h"
#include "ranges/QVRangeMap.h"
#include "symbols/QVSection.h"

namespace Quorvel {

class QVAbstractCallFrame;
class QVAbstractCallStack;
class QVModuleId;
class QVProcess;

// The means to suspend, resume and inspect one process: its threads, its
// memory, its call stacks and its map of executable sections. Bound to its
// process for life; the process must outlive it.
//
// Operations that can fail in ordinary use (the process exited, access was
// refused) return false and log; they never throw.
class QVDebugger {
 public:
  using SectionMap = QVRangeMap<unsigned long, std::shared_ptr<QVSection>>;
  using CallStackMap = std::unordered_map<QVThreadId, std::shared_ptr<QVAbstractCallStack>>;

  QVDebugger(QVProcess& process, bool debug);
  virtual ~QVDebugger();
  QVDebugger(const QVDebugger&) = delete;
  QVDebugger& operator=(const QVDebugger&) = delete;

  virtual bool suspendProcess() = 0;
  virtual bool resumeProcess() = 0;
  virtual bool terminateProcess() = 0;
  virtual bool isProcessRunning() = 0;
  virtual bool suspendThread(const QVThreadId& threadId) = 0;
  virtual bool resumeThread(const QVThreadId& threadId) = 0;
  virtual bool terminateThread(const QVThreadId& threadId) = 0;
  virtual bool isThreadRunning(const QVThreadId& threadId) = 0;
  // The thread id picks whose view of memory to use; the invalid id means
  // the process's. True only when all `length` bytes were transferred.
  virtual bool readMemory(void* buffer, unsigned long address, unsigned long length, const QVThreadId& threadId) = 0;
  virtual bool writeMemory(unsigned long address, const void* buffer, unsigned long length,
                           const QVThreadId& threadId) = 0;
  // The section mapped at the frame's address (null and an empty range when
  // none). The reference stays valid until the debugger's map changes.
  virtual const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                                QVRange<unsigned long>& range) = 0;
  // Where the module is loaded; 0 when it is not mapped.
  virtual unsigned long moduleStartAddress(const QVModuleId& moduleId) = 0;
  virtual bool getThreadCallStack(const QVThreadId& threadId, std::shared_ptr<QVAbstractCallStack>& out,
                                  unsigned long maxDepth) = 0;
  // Clears `out`, then stores the stack of every running thread of the
  // process that sampleThreads could take; threads that fail are logged
  // and left out. True when at least one stack was obtained.
  virtual bool getProcessCallStacks(CallStackMap& out, unsigned long maxDepth);

  // What one tick learns of a thread: its stack and, where the platform
  // tells, its scheduler state, the CPU time it has consumed so far and the
  // processor it last ran on.
  struct ThreadSample {
    std::shared_ptr<QVAbstractCallStack> stack;
    // The /proc state letter ('R' running or runnable, 'S' sleeping, 'D'
    // disk wait, 'T' stopped, ...); '\0' when unknown.
    char state = '\0';
    bool hasCpuTime = false;
    uint64_t cpuNanos = 0;
    // -1 when unknown.
    int processor = -1;
  };
  using ThreadSampleMap = std::unordered_map<QVThreadId, ThreadSample>;
  // Answers true once the caller wants the tick ended early.
  using StopPredicate = std::function<bool()>;
  // Clears `out`, then samples every running thread of the process as
  // getProcessCallStacks does, keeping only threads that gave a stack. Once
  // `stopRequested` (which may be empty) answers true no further thread is
  // started on and the tick ends as soon as the threads already held are
  // let go; what was taken is kept. True when at least one stack was
  // obtained. This version asks getThreadCallStack thread by thread.
  virtual bool sampleThreads(ThreadSampleMap& out, unsigned long maxDepth, const StopPredicate& stopRequested);
  // The process's executable sections by address; re-read when `update`.
  virtual const SectionMap& sectionMap(bool update) = 0;
  virtual bool attach() = 0;
  virtual bool detach() = 0;
  virtual bool attachThread(const QVThreadId& threadId) = 0;
  virtual bool detachThread(const QVThreadId& threadId) = 0;
  // Bytes of shared libraries the process has mapped, 0 when unknown. A
  // change tells the sampler that libraries were loaded or unloaded, so the
  // section map is re-read only then.
  virtual uint64_t sharedLibrarySize() { return 0; }

  QVProcess& process() const { return process_; }
  const QVProcessId& processId() const { return processId_; }
  bool debug() const { return debug_; }
  void setDebug(bool debug) { debug_ = debug; }

 private:
  QVProcess& process_;
  QVProcessId processId_;
  bool debug_;
};

}  // namespace Quorvel
