#pragma once

#include <libunwind.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Linux/unwind/QVSegment.h"
#include "Linux/unwind/QVTracedThread.h"
#include "Linux/unwind/QVUnwindAddressSpace.h"
#include "model/QVDebugger.h"
#include "ranges/QVRangeMap.h"
#include "symbols/QVModuleId.h"
#include "system/QVFileDescriptor.h"

namespace Quorvel {

class QVCallStack;
class QVModule;
class QVTaskFiles;
class QVUnwindAddressSpace;

// The debugger of one Linux process: its memory map from /proc/<pid>/maps,
// signals to it and its threads, ptrace attachment, and access to its
// memory.
//
// The memory map is read whole on demand (the first question, or an explicit
// update) into three tables: the executable file mappings (segments), the
// executable sections of the ELF modules behind them placed at their load
// addresses, and each module's start address. Modules are created and
// registered on the way; the vdso is the module read once from this
// library's own process.
//
// Call stacks are unwound remotely with libunwind, from the thread's
// registers and a snapshot of its stack taken in one read (see
// QVUnwindAddressSpace::Snapshot). A running thread is seized,
// interrupted, unwound and detached within one getThreadCallStack call; in
// sampleThreads it is let go once its registers and stack are copied (and
// the others have stopped, or a short hold has passed), and unwound from
// the copy while it runs on; a thread sleeping in the kernel is read
// without a stop (see _blockedThreadCallStack), so the target never sees a
// call fail with EINTR because it was sampled. The unwinder's address
// space (with its global cache of unwind
// rules) is made on first use and kept for the debugger's life. Unwind
// rules are looked up only for addresses inside an executable file mapping
// of the segment map as last read (the process sampler re-reads it when the
// target's libraries change); elsewhere libunwind goes straight to its
// frame-chain fallback instead of scanning /proc/<pid>/maps again.
//
// A thread this debugger attaches to is detached again on every path
// (errors, exceptions, the thread exiting meanwhile); a traced thread is
// never left stopped. No call returns, or waits for anything but the
// attached thread's own stop, while holding a thread: a SIGINT or SIGTERM
// handler that only sets a flag can never leave the target stopped (see
// QVTracedThread).
class QVDebuggerLinux : public QVDebugger {
 public:
  using ModuleAddrMap = std::unordered_map<QVModuleId, uint64_t>;
  using SegmentMap = QVRangeMap<unsigned long, QVSegment>;

  // Reads the memory map at once when `loadNow`; `debug` enables the
  // diagnostic messages.
  QVDebuggerLinux(QVProcess& process, bool loadNow, bool debug);
  ~QVDebuggerLinux() override;

  // SIGSTOP, SIGCONT and SIGKILL with kill(), or with tkill() for a thread.
  bool suspendProcess() override;
  bool resumeProcess() override;
  bool terminateProcess() override;
  // False for good once a probe found the process gone (or a zombie).
  bool isProcessRunning() override;
  bool suspendThread(const QVThreadId& threadId) override;
  bool resumeThread(const QVThreadId& threadId) override;
  bool terminateThread(const QVThreadId& threadId) override;
  // Whether /proc/<pid>/task/<tid>/stat exists.
  bool isThreadRunning(const QVThreadId& threadId) override;
  // Through /proc/<id>/mem (opened once per thread and kept), with the
  // thread attached for the duration. Addresses the file cannot be
  // positioned at are read with PTRACE_PEEKDATA instead (see _peekData).
  bool readMemory(void* buffer, unsigned long address, unsigned long length, const QVThreadId& threadId) override;
  // As readMemory, without the ptrace fallback.
  bool writeMemory(unsigned long address, const void* buffer, unsigned long length,
                   const QVThreadId& threadId) override;
  // Reads the map when it is empty; an exact lookup of the frame's address.
  const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                        QVRange<unsigned long>& range) override;
  // Reads the map when no module is known yet; 0 when not mapped.
  unsigned long moduleStartAddress(const QVModuleId& moduleId) override;
  // Unwinds at most `maxDepth` frames (innermost first) into a new
  // QVCallStack whose symbol source is the process. A running thread is
  // interrupted for it and let go; a thread sleeping in the kernel is never
  // stopped (see _blockedThreadCallStack). `out` is set only on success: at least one frame was found.
  bool getThreadCallStack(const QVThreadId& threadId, std::shared_ptr<QVAbstractCallStack>& out,
                          unsigned long maxDepth) override;
  // Every thread that must stop is interrupted before any stop is awaited;
  // as each stops its registers and stack are copied, it is let go once all
  // have stopped or 200 µs have passed, and all are unwound from their copies once every one runs again
  // (a stack deeper than its copy is taken again, longer). Threads sleeping
  // in the kernel are read without a stop, as getThreadCallStack does. Each
  // thread's /proc files are kept open between ticks (see QVTaskFiles).
  // The calling thread asks the scheduler, once, for a short time slice (an
  // early deadline), so that the target's threads let go do not keep it
  // waiting; its nice value is kept. While it holds threads stopped it runs
  // at the lowest real-time priority where it may (see UrgentWindow in the
  // source).
  bool sampleThreads(ThreadSampleMap& out, unsigned long maxDepth, const StopPredicate& stopRequested) override;
  // Re-read when `update` or while empty.
  const SectionMap& sectionMap(bool update) override;
  // Every running thread (after a registry update); true when any attached.
  bool attach() override;
  bool detach() override;
  // PTRACE_SEIZE and PTRACE_INTERRUPT, and a wait until the thread reports
  // the stop; signals met on the way are passed on to it.
  bool attachThread(const QVThreadId& threadId) override;
  bool detachThread(const QVThreadId& threadId) override;
  uint64_t sharedLibrarySize() override;

  // Copies, taken under the lock.
  ModuleAddrMap moduleAddrMap() const;
  SegmentMap segmentMap() const;

  // Rebuilds the maps from /proc/<pid>/maps as root.
  void _updateSectionMap();
  // Walks the stack of a thread that is attached and stopped, appending
  // instruction addresses to `stack` until the outermost frame, a failure
  // or `maxDepth`. `upt` is the thread's `_UPT_create` context. True when at
  // least one frame was appended. Messages only under "QV_TRACE_UNWIND".
  bool _unwindCallStack(const QVThreadId& threadId, QVCallStack& stack, void* upt, unsigned long maxDepth);
  // The unwinder's ELF-path accessor: the file, mapping start and file
  // offset of the executable mapping holding `ip` in the process of the
  // debugger attached to `space`. The path is copied up to `size`
  // characters, terminated only when it fits. 0, or -1 when unknown.
  static int _get_elf_path(unw_addr_space_t space, unw_word_t ip, unw_word_t* start, unw_word_t* offset,
                           char* buffer, size_t size);
  // Reads `length` bytes at `address` of a thread that is attached and
  // stopped, 4 bytes a request. The buffer address and the length must both
  // be multiples of 4.
  bool _peekData(void* buffer, unsigned long address, unsigned long length, int64_t nativeThreadId);

  // The vdso module of this library's own process, built once; null when
  // this process has no vdso.
  static const std::shared_ptr<QVModule>& vdsoModule();
  // Whether "QV_TRACE_UNWIND" was set when the library loaded.
  static bool traceUnwind();
  static void _initVDSOModule();

  // Places the module's executable sections into `map`, biased for a
  // mapping at `start` of the file from `fileOffset`.
  static void placeModule(const std::shared_ptr<QVModule>& module, unsigned long start, unsigned long fileOffset,
                          SectionMap& map);

 private:
  // The native id to attach to and to open memory of: the thread's, or the
  // process's for the invalid thread id.
  int64_t _nativeThreadId(const QVThreadId& threadId) const;
  // The cached /proc/<id>/mem descriptor; -1 when it cannot be opened.
  int _memoryFile(const QVThreadId& threadId, int64_t nativeId);
  bool _transferMemory(void* buffer, unsigned long address, unsigned long length, const QVThreadId& threadId,
                       bool write);
  // Records the module's start and places its executable sections.
  void _placeModule(const std::shared_ptr<QVModule>& module, unsigned long start, unsigned long fileOffset);
  // Polled for a child of this program, else blocking (see QVTracedThread).
  QVTracedThread::WaitStyle _attachWaitStyle();
  // Whether /proc shows the process as a zombie or dead; false when it
  // cannot be read.
  static bool _isZombie(pid_t pid);
  // The unwinder's address space, made on first use; null when libunwind
  // cannot make one.
  QVUnwindAddressSpace* _unwindSpace();

  // Where a thread sleeping in the kernel left its user side: the call it
  // is in (-1 for none) and its stack and instruction pointers.
  struct BlockedPoint {
    long call = -1;
    uint64_t sp = 0;
    uint64_t ip = 0;
    bool operator==(const BlockedPoint& other) const {
      return call == other.call && sp == other.sp && ip == other.ip;
    }
  };
  // The last stack taken of a sleeping thread, reused while it sleeps at
  // the same point.
  struct BlockedStack {
    BlockedPoint point;
    unsigned long depth;
    std::shared_ptr<QVAbstractCallStack> stack;
  };
  // From /proc/<tid>/syscall; empty for a thread that runs again.
  static std::optional<BlockedPoint> _blockedPoint(QVTaskFiles& files);
  // The stack of a sleeping thread, unwound without stopping it from its
  // user stack and instruction pointers, or the previous one when the
  // thread still sleeps where it did then.
  // NeedsStop when a frame needed a register that only a stop gives: the
  // thread is then interrupted once, and that stack kept for the point.
  // Moved when the thread woke while it was read: it is taken the usual way.
  enum class BlockedUnwind { Done, Failed, NeedsStop, Moved };
  BlockedUnwind _blockedThreadCallStack(const QVThreadId& threadId, QVTaskFiles& files, const BlockedPoint& point,
                                        std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth);
  // The stack of a thread in the state `stat` taken without stopping it:
  // true or false once decided, empty when the thread must be stopped for
  // it. `point` is then where it sleeps, when it does, so that the stack the
  // stop gives is kept for that point.
  std::optional<bool> _takeWithoutStop(const QVThreadId& threadId, QVTaskFiles& files, const QVProcTaskStat& stat,
                                       std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth,
                                       std::optional<BlockedPoint>& point);
  // A thread of one tick that is stopped for its stack: what was read of it
  // before, and what its stop gave.
  struct Held {
    QVThreadId threadId;
    QVTaskFiles* files;
    int polls;
    std::optional<BlockedPoint> point;
    ThreadSample sample;
    std::optional<QVUnwindAddressSpace::Snapshot> snapshot;
  };
  // Collects the stops of the interrupted threads in `held`, copying each
  // one's registers and stack and letting them go together (see the
  // source). With `fullReach`
  // the copy spans the whole reach instead of the thread's usual length.
  void _snapshotStopped(std::vector<Held>& held, bool fullReach);
  // Unwinds every thread of `held` from its snapshot into `out`; those whose
  // stack went past their snapshot are moved to `overflowed`.
  void _unwindSnapshots(std::vector<Held>& held, ThreadSampleMap& out, unsigned long maxDepth,
                        std::vector<Held>& overflowed);
  bool _unwindSnapshot(const QVThreadId& threadId, QVUnwindAddressSpace::Snapshot& snapshot,
                       std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth);
  // How much stack to copy of the thread: the default chunk, or what its
  // earlier unwinds needed with room to spare (lock_ held).
  size_t _snapshotLength(const QVThreadId& threadId) const;
  void _rememberSnapshotLength(const QVThreadId& threadId, size_t used);
  // Unwinds a thread this debugger holds stopped, from its registers and a
  // snapshot of its stack.
  bool _unwindStoppedThread(const QVThreadId& threadId, const std::optional<BlockedPoint>& point,
                            std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth);
  // The CPU time the thread has used so far, from its schedstat.
  static void _noteCpuTime(QVTaskFiles& files, ThreadSample& sample);
  // The kept /proc files of a thread, opened on first use (lock_ held).
  QVTaskFiles& _taskFiles(const QVThreadId& threadId);
  // Closes the files and drops the kept stacks of threads that are gone.
  void _forgetThreadsOtherThan(const std::unordered_set<QVThreadId>& threadIds);

  mutable std::recursive_mutex lock_;
  std::unordered_map<QVThreadId, BlockedStack> blockedStacks_;
  // Bytes of stack to copy per thread (see _snapshotLength).
  std::unordered_map<QVThreadId, size_t> snapshotLengths_;
  SectionMap sectionMap_;
  ModuleAddrMap moduleAddrMap_;
  SegmentMap segmentMap_;
  std::atomic<bool> running_{true};
  // Whether the process is a child of this program: -1 until asked.
  std::atomic<int> ownChild_{-1};
  std::unordered_map<QVThreadId, QVFileDescriptor> memoryFiles_;
  std::unordered_map<QVThreadId, std::unique_ptr<QVTaskFiles>> taskFiles_;
  // The threads the last sampleThreads call found.
  std::unordered_set<QVThreadId> knownThreadIds_;
  std::unique_ptr<QVUnwindAddressSpace> unwindSpace_;

  static std::shared_ptr<QVModule> vdsoModule_;
  static const bool traceUnwind_;
};

}  // namespace Quorvel
