#include "Linux/unwind/QVDebuggerLinux.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "base/QVException.h"
#include "base/QVLog.h"
#include "ids/QVFileId.h"
#include "Linux/unwind/QVPtraceUnwindContext.h"
#include "Linux/unwind/QVTaskFiles.h"
#include "Linux/unwind/QVTracedThread.h"
#include "Linux/unwind/QVUnwindAddressSpace.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "proc/QVProcMapsParser.h"
#include "proc/QVTaskInfoLinux.h"
#include "proc/QVTextReader.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVCallStack.h"
#include "symbols/elf/QVModuleElf.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

std::shared_ptr<QVModule> QVDebuggerLinux::vdsoModule_;
const bool QVDebuggerLinux::traceUnwind_ = std::getenv("QV_TRACE_UNWIND") != nullptr;

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

struct Hex {
  unsigned long value;
};

std::ostream& operator<<(std::ostream& os, Hex hex) {
  const std::ios_base::fmtflags flags = os.flags();
  os << std::hex << hex.value;
  os.flags(flags);
  return os;
}

// The scheduler's request for a short time slice (sched_setattr's
// sched_runtime for an ordinary task), with the thread's nice value kept.
struct ShortSliceRequest {
  uint32_t size;
  uint32_t policy;
  uint64_t flags;
  int32_t nice;
  uint32_t priority;
  uint64_t runtime;
  uint64_t deadline;
  uint64_t period;
};

// The sampling thread asks for a short slice, which the scheduler turns into
// an early deadline: woken, it runs before the busy threads of the target
// instead of after a round of their slices. Each thread let go at the end
// of a tick takes the processor from the sampler; on a loaded 2-processor
// machine ticks of 16 busy threads took 30 to 100 ms with the default slice
// and 0.3 to 5 ms in most runs with this one (a long slice made them
// worse). Asked once per thread; a kernel without slices simply refuses.
void RequestShortSlice(bool again = false) {
  static thread_local bool requested = false;
  if (requested && !again) {
    return;
  }
  requested = true;
  constexpr uint64_t kSliceNanos = 100 * 1000;
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
  if (errno != 0) {
    return;
  }
  ShortSliceRequest request{};
  request.size = sizeof(request);
  request.policy = SCHED_OTHER;
  request.nice = nice;
  request.runtime = kSliceNanos;
  ::syscall(SYS_sched_setattr, 0, &request, 0);
}

// While it holds threads of the target stopped, the sampling thread runs
// ahead of every ordinary thread of the machine (the lowest real-time
// priority), where it is allowed to: each stop it must collect would
// otherwise wait for a scheduler slice, and on a loaded machine that kept
// the target stopped for milliseconds per tick. Nothing is unwound in the
// window, so it lasts microseconds per thread. Where real-time priority is
// not allowed (no CAP_SYS_NICE and no RLIMIT_RTPRIO) the short slice asked
// for above is what remains; after one refusal it is not asked again.
class UrgentWindow {
 public:
  UrgentWindow() {
    static std::atomic<bool> refused{false};
    // A caller that chose another policy (real-time, batch, idle) keeps it.
    if (refused.load(std::memory_order_relaxed) || ::sched_getscheduler(0) != SCHED_OTHER) {
      return;
    }
    const sched_param urgent{1};
    raised_ = ::sched_setscheduler(0, SCHED_FIFO, &urgent) == 0;
    if (!raised_) {
      refused.store(true, std::memory_order_relaxed);
    }
  }
  ~UrgentWindow() {
    if (raised_) {
      const sched_param ordinary{0};
      ::sched_setscheduler(0, SCHED_OTHER, &ordinary);
      RequestShortSlice(true);
    }
  }
  UrgentWindow(const UrgentWindow&) = delete;
  UrgentWindow& operator=(const UrgentWindow&) = delete;

 private:
  bool raised_ = false;
};

}  // namespace

QVDebuggerLinux::QVDebuggerLinux(QVProcess& process, bool loadNow, bool debug) : QVDebugger(process, debug) {
  _initVDSOModule();
  if (loadNow) {
    _updateSectionMap();
  }
}

QVDebuggerLinux::~QVDebuggerLinux() {
  unwindSpace_.reset();
}

const std::shared_ptr<QVModule>& QVDebuggerLinux::vdsoModule() { return vdsoModule_; }

bool QVDebuggerLinux::traceUnwind() { return traceUnwind_; }

// Every target of this architecture maps the same vdso image as this
// process, so one module read from our own memory serves them all. The
// real /proc/self is read on purpose (not a fixture tree): the bytes copied
// come from this process's address space.
void QVDebuggerLinux::_initVDSOModule() {
  static std::once_flag once;
  std::call_once(once, [] {
    char mapsPath[64];
    const int written = std::snprintf(mapsPath, sizeof(mapsPath), "/proc/%s/maps", "self");
    if (written <= 0 || static_cast<size_t>(written) >= sizeof(mapsPath)) {
      throw QVException("unable to construct path to module map", __LINE__, __FILE__);
    }
    std::ifstream in(mapsPath);
    std::string line;
    while (std::getline(in, line)) {
      const std::string trimmed(QVTextReader::trim(line));
      if (trimmed.find("[vdso]") == std::string::npos) {
        continue;
      }
      const std::optional<QVProcMapsEntry> entry = QVProcMapsParser::parseLine(trimmed);
      if (!entry) {
        continue;
      }
      if (!entry->isExecutable()) {
        QV_DEBUG("skipping non-executable vdso section (vm_flags=" << entry->permissions << "): " << trimmed);
        continue;
      }
      if (entry->start >= entry->end) {
        QV_WARNING("skipping vdso section with invalid address range 0x" << Hex{entry->start} << "..0x"
                                                                          << Hex{entry->end} << " from " << trimmed);
        continue;
      }
      QV_DEBUG("local vdso mapped at 0x" << Hex{entry->start} << "..0x" << Hex{entry->end});
      const auto* bytes = reinterpret_cast<const unsigned char*>(static_cast<uintptr_t>(entry->start));
      const size_t length = static_cast<size_t>(entry->end - entry->start);
      const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("vdso"), LocalMachineArchitecture());
      auto module = std::make_shared<QVModuleElf>(moduleId, bytes, length, "vdso");
      QVModule::registerModule(module);
      vdsoModule_ = module;
      return;
    }
  });
}

void QVDebuggerLinux::_updateSectionMap() {
  QVEffectiveUser root(0, 0);
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!isProcessRunning()) {
    if (debug()) {
      QV_DEBUG(processId() << " not running - unable to update section map");
    }
    return;
  }
  moduleAddrMap_.clear();
  sectionMap_.clear();
  segmentMap_.clear();

  const std::string mapsPath =
      QVSystemPaths::path("/proc/" + std::to_string(processId().nativeIdentifier()) + "/maps");
  struct stat status;
  if (::stat(mapsPath.c_str(), &status) != 0) {
    QV_WARNING("non-existant module map " << mapsPath);
    return;
  }
  std::ifstream in(mapsPath);
  if (!in) {
    QV_WARNING("failed to open module map " << mapsPath);
    return;
  }

  const QVArchitecture architecture = process().architecture();
  std::unordered_set<std::string> placedPaths;
  bool vdsoPlaced = false;
  std::string line;
  while (std::getline(in, line)) {
    const std::string trimmed(QVTextReader::trim(line));
    const std::optional<QVProcMapsEntry> entry = QVProcMapsParser::parseLine(trimmed);
    if (!entry) {
      continue;
    }
    if (!entry->isExecutable()) {
      if (debug()) {
        QV_DEBUG("skipping non-executable module (vm_flags=" << entry->permissions << "): " << trimmed);
      }
      continue;
    }
    if (entry->start >= entry->end) {
      QV_WARNING("skipping module with invalid address range 0x" << Hex{entry->start} << "..0x" << Hex{entry->end}
                                                                  << " from " << trimmed);
      continue;
    }
    if (trimmed.find("[vdso]") != std::string::npos) {
      const std::shared_ptr<QVModule>& vdso = vdsoModule();
      if (!vdso) {
        QV_WARNING("found vdso entry in " << mapsPath << " but null module");
      } else if (vdso->architecture() != architecture) {
        QV_WARNING("unable to add vdso module to " << processId() << " due to architecture mismatch ("
                                                   << ArchitectureToPrettyString(vdso->architecture()) << " != "
                                                   << ArchitectureToPrettyString(architecture) << ")");
      } else if (!vdsoPlaced) {
        vdsoPlaced = true;
        _placeModule(vdso, entry->start, 0);
      }
      continue;
    }

    std::string path(entry->path());
    if (path.empty()) {
      if (debug()) {
        QV_DEBUG("skipping module without valid path: " << trimmed);
      }
      continue;
    }
    if (entry->name.compare(0, 11, "anon_inode:") == 0 || path.compare(0, 5, "/dev/") == 0 ||
        path.compare(0, 13, "/SYSV00000000") == 0) {
      continue;
    }
    // The parser has already taken a " (deleted)" suffix off. A prelinked
    // library being replaced shows its temporary name; the module is the
    // file it becomes.
    const size_t prelink = path.rfind(".#prelink#");
    if (prelink != std::string::npos) {
      path.erase(prelink);
    }

    segmentMap_.setValueForRange(QVSegment(entry->offset, path),
                                 QVRange<unsigned long>(entry->start, entry->end - entry->start));

    // A file's sections are placed once per pass, from its first executable
    // mapping; later mappings of it only enter the segment map.
    if (!placedPaths.insert(path).second) {
      continue;
    }
    const std::shared_ptr<QVModule> module = QVModuleElf::moduleForFile(path, architecture);
    if (!module) {
      if (!entry->deleted) {
        QV_WARNING("failed to find " << path << " module from " << mapsPath);
      }
      continue;
    }
    _placeModule(module, entry->start, entry->offset);
  }
}

// The load bias is where the mapping starts less the link-time address of
// the bytes it maps. Linkers put code in its own segment at a non-zero file
// offset, so that offset is taken off with the module's base: the sections
// then land where the code really is, for old single-segment layouts
// (offset 0) and new ones alike.
void QVDebuggerLinux::_placeModule(const std::shared_ptr<QVModule>& module, unsigned long start,
                                   unsigned long fileOffset) {
  moduleAddrMap_[module->moduleId()] = start;
  placeModule(module, start, fileOffset, sectionMap_);
}

void QVDebuggerLinux::placeModule(const std::shared_ptr<QVModule>& module, unsigned long start,
                                  unsigned long fileOffset, SectionMap& map) {
  const unsigned long bias = start - fileOffset - module->baseAddress();
  for (const std::shared_ptr<QVSection>& section : module->sections()) {
    if ((section->attributes() & QVSection::kAttributeExecutable) == 0 || section->addressRange().length == 0) {
      continue;
    }
    const QVRange<unsigned long>& range = section->addressRange();
    map.setValueForRange(section, QVRange<unsigned long>(range.location + bias, range.length));
  }
}

const QVDebugger::SectionMap& QVDebuggerLinux::sectionMap(bool update) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (update || sectionMap_.isEmpty()) {
    _updateSectionMap();
  }
  return sectionMap_;
}

unsigned long QVDebuggerLinux::moduleStartAddress(const QVModuleId& moduleId) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (moduleAddrMap_.empty()) {
    _updateSectionMap();
  }
  const auto found = moduleAddrMap_.find(moduleId);
  return found == moduleAddrMap_.end() ? 0 : found->second;
}

const std::shared_ptr<QVSection>& QVDebuggerLinux::sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                                       QVRange<unsigned long>& range) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (sectionMap_.isEmpty()) {
    _updateSectionMap();
  }
  const std::shared_ptr<QVSection>& section = sectionMap_.valueAndRangeForLocation(frame.lookupAddress(), range, true);
  if (!section) {
    range = QVRange<unsigned long>(0, 0);
  }
  return section;
}

QVDebuggerLinux::ModuleAddrMap QVDebuggerLinux::moduleAddrMap() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return moduleAddrMap_;
}

QVDebuggerLinux::SegmentMap QVDebuggerLinux::segmentMap() const {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return segmentMap_;
}

QVUnwindAddressSpace* QVDebuggerLinux::_unwindSpace() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!unwindSpace_) {
    auto space = std::make_unique<QVUnwindAddressSpace>(&QVDebuggerLinux::_get_elf_path, this);
    if (!space->isValid()) {
      return nullptr;
    }
    unwindSpace_ = std::move(space);
  }
  return unwindSpace_.get();
}

QVTaskFiles& QVDebuggerLinux::_taskFiles(const QVThreadId& threadId) {
  std::unique_ptr<QVTaskFiles>& files = taskFiles_[threadId];
  if (!files) {
    files = std::make_unique<QVTaskFiles>(static_cast<pid_t>(threadId.nativeIdentifier()));
  }
  return *files;
}

void QVDebuggerLinux::_forgetThreadsOtherThan(const std::unordered_set<QVThreadId>& threadIds) {
  for (auto it = taskFiles_.begin(); it != taskFiles_.end();) {
    it = threadIds.count(it->first) != 0 ? std::next(it) : taskFiles_.erase(it);
  }
  for (auto it = blockedStacks_.begin(); it != blockedStacks_.end();) {
    it = threadIds.count(it->first) != 0 ? std::next(it) : blockedStacks_.erase(it);
  }
  for (auto it = snapshotLengths_.begin(); it != snapshotLengths_.end();) {
    it = threadIds.count(it->first) != 0 ? std::next(it) : snapshotLengths_.erase(it);
  }
}

std::optional<bool> QVDebuggerLinux::_takeWithoutStop(const QVThreadId& threadId, QVTaskFiles& files,
                                                      const QVProcTaskStat& stat,
                                                      std::shared_ptr<QVAbstractCallStack>& out,
                                                      unsigned long maxDepth, std::optional<BlockedPoint>& point) {
  point.reset();
  // Only a thread that is running or runnable is interrupted. Interrupting
  // one that sleeps in the kernel would make calls such as epoll_wait fail
  // with EINTR in the target; its user stack cannot change while it sleeps,
  // so it is read without stopping it. Stopped threads ('T' by job control,
  // 't' by a tracer) are not sleeping in a call: they take the usual way,
  // which a group stop survives.
  if (stat.state != 'S' && stat.state != 'D') {
    return std::nullopt;
  }
  point = _blockedPoint(files);
  if (!point) {
    return std::nullopt;
  }
  const BlockedUnwind result = _blockedThreadCallStack(threadId, files, *point, out, maxDepth);
  if (result == BlockedUnwind::Moved) {
    point.reset();
    return std::nullopt;
  }
  if (result == BlockedUnwind::NeedsStop) {
    return std::nullopt;
  }
  return result == BlockedUnwind::Done;
}

bool QVDebuggerLinux::_unwindStoppedThread(const QVThreadId& threadId, const std::optional<BlockedPoint>& point,
                                           std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth) {
  // Every unwind holds this lock before libunwind takes its own (its
  // callbacks take this one): one order, whichever path unwinds.
  std::lock_guard<std::recursive_mutex> lock(lock_);
  QVUnwindAddressSpace::Snapshot snapshot(static_cast<pid_t>(threadId.nativeIdentifier()),
                                          _snapshotLength(threadId));
  const bool unwound = _unwindSnapshot(threadId, snapshot, out, maxDepth);
  if (unwound) {
    _rememberSnapshotLength(threadId, snapshot.used());
    // Taken once of a thread that sleeps at `point`, kept while it sleeps
    // there (a call the interrupt broke was wound back to be made again).
    if (point) {
      blockedStacks_[threadId] = BlockedStack{*point, maxDepth, out};
    }
  }
  return unwound;
}

bool QVDebuggerLinux::getThreadCallStack(const QVThreadId& threadId, std::shared_ptr<QVAbstractCallStack>& out,
                                         unsigned long maxDepth) {
  const pid_t tid = static_cast<pid_t>(threadId.nativeIdentifier());
  std::optional<BlockedPoint> point;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    QVTaskFiles& files = _taskFiles(threadId);
    const std::optional<QVProcTaskStat> stat = files.stat();
    if (stat) {
      const std::optional<bool> taken = _takeWithoutStop(threadId, files, *stat, out, maxDepth, point);
      if (taken) {
        return *taken;
      }
    }
  }
  // Declared first so that it is released last: the unwinding context and
  // the stack go before the thread is let go, on every path.
  QVTracedThread traced(tid, debug(), _attachWaitStyle());
  if (!traced.attached()) {
    return false;
  }
  const bool unwound = _unwindStoppedThread(threadId, point, out, maxDepth);
  traced.release();
  return unwound;
}

bool QVDebuggerLinux::sampleThreads(ThreadSampleMap& out, unsigned long maxDepth,
                                    const StopPredicate& stopRequested) {
  out.clear();
  RequestShortSlice();
  // One read of the task directory; the thread registry (names, processes)
  // is brought up to date only when threads came or went.
  std::unordered_set<QVThreadId> threadIds;
  QVTaskInfoLinux::getThreadIdsForProcess(processId(), threadIds, false);
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (threadIds != knownThreadIds_) {
    QVThread::updateThreadListForProcess(processId(), false);
    knownThreadIds_ = threadIds;
  }
  _forgetThreadsOtherThan(threadIds);

  // Every thread that must stop is interrupted first and their stops are
  // then collected together: the delays until each is scheduled overlap
  // instead of adding up.
  std::vector<Held> held;
  std::vector<Held> sleeping;
  std::vector<Held> stopToo;
  held.reserve(threadIds.size());
  // A running thread is interrupted the moment it is seen, before anything
  // else is read: this thread competes with the target's for the processor,
  // and once it has run a while it may lose it for a whole round of their
  // slices, while each thread interrupted gives it back.
  {
    UrgentWindow urgent;
    for (const QVThreadId& threadId : threadIds) {
      if (stopRequested && stopRequested()) {
        break;
      }
      QVTaskFiles& files = _taskFiles(threadId);
      const std::optional<QVProcTaskStat> stat = files.stat();
      if (!stat || stat->hasExited()) {
        continue;
      }
      Held entry{threadId, &files, 0, std::nullopt, ThreadSample(), std::nullopt};
      entry.sample.state = stat->state;
      entry.sample.processor = files.lastProcessor();
      if (stat->state == 'S' || stat->state == 'D') {
        sleeping.push_back(std::move(entry));
      } else if (QVTracedThread::interrupt(files.tid(), debug())) {
        held.push_back(std::move(entry));
      }
    }
    _snapshotStopped(held, false);
  }
  for (Held& entry : sleeping) {
    QVProcTaskStat stat;
    stat.state = entry.sample.state;
    const std::optional<bool> taken =
        _takeWithoutStop(entry.threadId, *entry.files, stat, entry.sample.stack, maxDepth, entry.point);
    if (!taken) {
      stopToo.push_back(std::move(entry));
    } else if (*taken) {
      _noteCpuTime(*entry.files, entry.sample);
      out[entry.threadId] = std::move(entry.sample);
    }
  }
  // A sleeping thread whose stack needs its registers is stopped after all.
  if (!stopToo.empty()) {
    UrgentWindow urgent;
    for (auto it = stopToo.begin(); it != stopToo.end();) {
      it = QVTracedThread::interrupt(it->files->tid(), debug()) ? std::next(it) : stopToo.erase(it);
    }
    _snapshotStopped(stopToo, false);
    std::move(stopToo.begin(), stopToo.end(), std::back_inserter(held));
  }
  // Every thread runs again; each is unwound from what was taken of it. A
  // stack deeper than its snapshot is taken once more with a snapshot as
  // long as the reach, and its length remembered for the next ticks.
  std::vector<Held> again;
  _unwindSnapshots(held, out, maxDepth, again);
  if (!again.empty()) {
    {
      UrgentWindow urgent;
      // One that went to sleep meanwhile is not woken for it: its stack is
      // taken next tick, without a stop.
      for (auto it = again.begin(); it != again.end();) {
        const std::optional<QVProcTaskStat> stat = it->files->stat();
        const bool runs = stat && stat->state != 'S' && stat->state != 'D' && !stat->hasExited();
        it = runs && QVTracedThread::interrupt(it->files->tid(), debug()) ? std::next(it) : again.erase(it);
      }
      _snapshotStopped(again, true);
    }
    std::vector<Held> deeper;
    _unwindSnapshots(again, out, maxDepth, deeper);
  }
  return !out.empty();
}

namespace {

// How long threads already copied are held while others have yet to stop.
// A held thread leaves the run queue, so the processor it used goes to the
// next thread still to stop instead of back to it: on a busy target every
// stop then follows the last within microseconds. One that is slow to be
// scheduled (the machine's other work has the processors) must not hold
// the rest for its sake longer than this.
constexpr std::chrono::microseconds kHoldWhileOthersStop{200};

// Threads stopped and copied, let go together: when every thread has
// stopped, when they have been held long enough, and on every way out.
class HeldThreads {
 public:
  explicit HeldThreads(bool debug) : debug_(debug) {}
  ~HeldThreads() { releaseAll(); }
  HeldThreads(const HeldThreads&) = delete;
  HeldThreads& operator=(const HeldThreads&) = delete;

  void hold(pid_t tid) {
    if (tids_.empty()) {
      since_ = std::chrono::steady_clock::now();
    }
    tids_.push_back(tid);
  }
  bool empty() const { return tids_.empty(); }
  bool heldLongEnough() const {
    return !tids_.empty() && std::chrono::steady_clock::now() - since_ >= kHoldWhileOthersStop;
  }
  void releaseAll() {
    for (const pid_t tid : tids_) {
      QVTracedThread::detach(tid, debug_);
    }
    tids_.clear();
  }

 private:
  bool debug_;
  std::vector<pid_t> tids_;
  std::chrono::steady_clock::time_point since_;
};

}  // namespace

// Each thread's registers and stack are copied as soon as it stops, and it
// is let go once every thread has stopped or kHoldWhileOthersStop has
// passed, whichever comes first; nothing is unwound while any is held. On a
// loaded machine the last thread may take milliseconds to be scheduled, and
// holding every thread until then (and while unwinding) cost the target a
// third of its time.
void QVDebuggerLinux::_snapshotStopped(std::vector<Held>& held, bool fullReach) {
  // A thread interrupted cannot be let go before it stops, so the stops are
  // awaited even when the caller asked to end the tick. Unless threads are
  // held meanwhile, the wait sleeps in the kernel until any child or traced
  // thread of this program has something to report, without collecting it;
  // every thread still pending is then looked at. Waiting for one chosen
  // thread instead left those that stopped first held until that one was
  // scheduled. The wait is given up for polling when it reports something
  // else (a child of ours that ended or stopped on its own, which it would
  // report again at once), and while only the leader of a process we
  // started is pending: another wait of ours may take the leader's report,
  // and a wait for it might never return. While threads are held the stops
  // are polled, so that the hold ends on time.
  const pid_t leader = static_cast<pid_t>(processId().nativeIdentifier());
  const bool ownChild = _attachWaitStyle() == QVTracedThread::WaitStyle::Polled;
  std::vector<Held*> pending;
  pending.reserve(held.size());
  for (Held& entry : held) {
    pending.push_back(&entry);
  }
  HeldThreads copied(debug());
  bool holdEnded = false;
  bool waitForAny = true;
  for (int idle = 0; !pending.empty();) {
    const bool onlyOwnLeader = ownChild && pending.size() == 1 && pending.front()->files->tid() == leader;
    const bool waited = waitForAny && !onlyOwnLeader && copied.empty();
    if (waited) {
      siginfo_t info{};
      if (::waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | __WALL | WNOWAIT) == -1) {
        waitForAny = errno == EINTR;
      } else {
        waitForAny = std::any_of(pending.begin(), pending.end(),
                                 [&](const Held* entry) { return entry->files->tid() == info.si_pid; });
      }
    }
    bool progressed = false;
    for (auto it = pending.begin(); it != pending.end();) {
      Held& entry = **it;
      const pid_t tid = entry.files->tid();
      const QVTracedThread::StopPoll poll =
          QVTracedThread::pollStop(tid, debug(), QVTracedThread::WaitStyle::Polled, entry.polls++);
      if (poll == QVTracedThread::StopPoll::Pending) {
        ++it;
        continue;
      }
      progressed = true;
      if (poll == QVTracedThread::StopPoll::Stopped) {
        copied.hold(tid);
        entry.snapshot.emplace(tid, fullReach ? QVUnwindAddressSpace::Snapshot::kReach
                                              : _snapshotLength(entry.threadId));
        entry.snapshot->freeze();
        _noteCpuTime(*entry.files, entry.sample);
        if (holdEnded) {
          copied.releaseAll();
        }
      }
      it = pending.erase(it);
    }
    if (pending.empty() || copied.heldLongEnough()) {
      holdEnded = holdEnded || !pending.empty();
      copied.releaseAll();
    }
    // A report that the looks never settle (it would wake the wait again at
    // once) turns the wait into polling too; rounds polled during a hold
    // waited for nothing and say nothing of the wait.
    idle = progressed ? 0 : idle + 1;
    waitForAny = waitForAny && (!waited || idle < 4);
    if (!progressed && !pending.empty() && (!waitForAny || onlyOwnLeader || !copied.empty())) {
      QVTracedThread::pause(copied.empty() ? idle : 0);
    }
  }
}

void QVDebuggerLinux::_unwindSnapshots(std::vector<Held>& held, ThreadSampleMap& out, unsigned long maxDepth,
                                       std::vector<Held>& overflowed) {
  for (Held& entry : held) {
    if (!entry.snapshot || !entry.snapshot->isValid()) {
      continue;
    }
    QVUnwindAddressSpace::Snapshot& snapshot = *entry.snapshot;
    std::shared_ptr<QVAbstractCallStack> stack;
    const bool unwound = _unwindSnapshot(entry.threadId, snapshot, stack, maxDepth);
    if (snapshot.overflowed) {
      entry.snapshot.reset();
      overflowed.push_back(std::move(entry));
      continue;
    }
    _rememberSnapshotLength(entry.threadId, snapshot.used());
    if (!unwound) {
      if (debug()) {
        QV_WARNING("failed to get callstack for running thread " << entry.threadId);
      }
      continue;
    }
    // Taken once of a thread that sleeps at `point`, kept while it sleeps
    // there (a call the interrupt broke was wound back to be made again).
    if (entry.point) {
      blockedStacks_[entry.threadId] = BlockedStack{*entry.point, maxDepth, stack};
    }
    entry.sample.stack = std::move(stack);
    out[entry.threadId] = std::move(entry.sample);
  }
}

size_t QVDebuggerLinux::_snapshotLength(const QVThreadId& threadId) const {
  const auto found = snapshotLengths_.find(threadId);
  return found == snapshotLengths_.end() ? QVUnwindAddressSpace::Snapshot::kChunk : found->second;
}

// Room is kept above what the last unwind read, in whole chunks, so that a
// thread that calls a little deeper still fits without a second stop.
void QVDebuggerLinux::_rememberSnapshotLength(const QVThreadId& threadId, size_t used) {
  constexpr size_t kChunk = QVUnwindAddressSpace::Snapshot::kChunk;
  const size_t wanted = std::min(QVUnwindAddressSpace::Snapshot::kReach, (used / kChunk + 1) * kChunk);
  size_t& length = snapshotLengths_[threadId];
  length = std::max({length, wanted, kChunk});
}

bool QVDebuggerLinux::_unwindSnapshot(const QVThreadId& threadId, QVUnwindAddressSpace::Snapshot& snapshot,
                                      std::shared_ptr<QVAbstractCallStack>& out, unsigned long maxDepth) {
  auto stack = std::make_shared<QVCallStack>();
  stack->setSymbolSource(&process());
  bool unwound = false;
  {
    QVPtraceUnwindContext upt(snapshot.tid);
    QVUnwindAddressSpace::ThreadScope scope(snapshot);
    unwound = upt.isValid() && snapshot.isValid() && _unwindCallStack(threadId, *stack, upt.get(), maxDepth);
  }
  if (unwound) {
    out = std::move(stack);
  }
  return unwound;
}

void QVDebuggerLinux::_noteCpuTime(QVTaskFiles& files, ThreadSample& sample) {
  if (const std::optional<uint64_t> nanos = files.runtimeNanos()) {
    sample.hasCpuTime = true;
    sample.cpuNanos = *nanos;
  }
}

std::optional<QVDebuggerLinux::BlockedPoint> QVDebuggerLinux::_blockedPoint(QVTaskFiles& files) {
  // "running", or the call number, its six arguments (only when in a call),
  // the user stack pointer and the user instruction pointer.
  QVTextReader reader(files.syscall());
  std::string_view words[9];
  size_t count = 0;
  for (std::string_view word; count < 10 && reader.nextField(word); ++count) {
    if (count < 9) {
      words[count] = word;
    }
  }
  if (count != 3 && count != 9) {
    return std::nullopt;
  }
  const std::optional<int64_t> call = QVTextReader::parseSigned(words[0]);
  const std::optional<uint64_t> sp = QVTextReader::parseHex(words[count - 2]);
  const std::optional<uint64_t> ip = QVTextReader::parseHex(words[count - 1]);
  if (!call || !sp || !ip || *sp == 0 || *ip == 0) {
    return std::nullopt;
  }
  BlockedPoint point;
  point.call = static_cast<long>(*call);
  point.sp = *sp;
  point.ip = *ip;
  return point;
}

QVDebuggerLinux::BlockedUnwind QVDebuggerLinux::_blockedThreadCallStack(const QVThreadId& threadId,
                                                                        QVTaskFiles& files,
                                                                        const BlockedPoint& point,
                                                                        std::shared_ptr<QVAbstractCallStack>& out,
                                                                        unsigned long maxDepth) {
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    const auto found = blockedStacks_.find(threadId);
    if (found != blockedStacks_.end() && found->second.point == point && found->second.depth == maxDepth) {
      out = found->second.stack;
      return BlockedUnwind::Done;
    }
  }
  const pid_t tid = static_cast<pid_t>(threadId.nativeIdentifier());
  auto stack = std::make_shared<QVCallStack>();
  stack->setSymbolSource(&process());
  bool unwound = false;
  bool missedRegister = false;
  {
    QVPtraceUnwindContext upt(tid);
    QVUnwindAddressSpace::Snapshot blocked(tid, point.ip, point.sp, _snapshotLength(threadId));
    QVUnwindAddressSpace::ThreadScope scope(blocked);
    unwound = upt.isValid() && _unwindCallStack(threadId, *stack, upt.get(), maxDepth);
    missedRegister = blocked.missedRegister;
  }
  // Frames that keep their caller's frame pointer in a register need the
  // registers only a stop gives.
  if (missedRegister && static_cast<unsigned long>(stack->size()) < maxDepth) {
    return BlockedUnwind::NeedsStop;
  }
  // A thread that woke meanwhile may have changed what was read.
  const std::optional<BlockedPoint> after = _blockedPoint(files);
  if (!after || !(*after == point)) {
    return BlockedUnwind::Moved;
  }
  if (!unwound) {
    return BlockedUnwind::Failed;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    blockedStacks_[threadId] = BlockedStack{point, maxDepth, stack};
  }
  out = stack;
  return BlockedUnwind::Done;
}

bool QVDebuggerLinux::_unwindCallStack(const QVThreadId&, QVCallStack& stack, void* upt,
                                       unsigned long maxDepth) {
  const bool trace = traceUnwind_;
  if (trace) {
    QV_DEBUG(std::string(80, '-'));
  }
  QVUnwindAddressSpace* space = _unwindSpace();
  if (space == nullptr) {
    if (trace) {
      QV_ERROR("failed to create address space for " << processId());
    }
    return false;
  }
  unw_cursor_t cursor;
  const int initialised = unw_init_remote(&cursor, space->space(), upt);
  if (initialised < 0) {
    if (trace) {
      QV_WARNING("unw_init_remote() failed - " << initialised);
    }
    return false;
  }
  unsigned long depth = 0;
  unw_word_t previousSp = 0;
  while (depth < maxDepth) {
    unw_word_t ip = 0;
    int result = unw_get_reg(&cursor, UNW_X86_64_RIP, &ip);
    if (result < 0) {
      if (trace) {
        QV_WARNING("unw_get_reg() failed for " << unw_regname(UNW_X86_64_RIP) << ": " << result);
      }
      break;
    }
    if (ip == 0) {
      if (trace) {
        QV_DEBUG("ending callstack unwind - null ip");
      }
      break;
    }
    unw_word_t sp = 0;
    result = unw_get_reg(&cursor, UNW_X86_64_RSP, &sp);
    if (result < 0) {
      if (trace) {
        QV_WARNING("unw_get_reg() failed for " << unw_regname(UNW_X86_64_RSP) << ": " << result);
      }
      break;
    }
    // The stack grows down, so each caller's frame lies above its callee's.
    // A step past the outermost frame leaves the registers as they were,
    // which also ends the walk here.
    if (depth > 0 && previousSp >= sp) {
      if (trace) {
        QV_WARNING("aborting callstack unwind - lack of forward progress detected");
      }
      break;
    }
    if (trace) {
      QV_DEBUG("[" << depth << "] 0x" << Hex{ip});
    }
    stack.addFrame(ip);
    ++depth;
    previousSp = sp;
    result = unw_step(&cursor);
    if (result < 0) {
      if (trace) {
        QV_WARNING("unw_step() failed: " << result);
      }
      break;
    }
  }
  return depth > 0;
}

int QVDebuggerLinux::_get_elf_path(unw_addr_space_t space, unw_word_t ip, unw_word_t* start, unw_word_t* offset,
                                   char* buffer, size_t size) {
  auto* debugger = static_cast<QVDebuggerLinux*>(QVUnwindAddressSpace::userPointer(space));
  if (debugger == nullptr) {
    return -1;
  }
  std::lock_guard<std::recursive_mutex> lock(debugger->lock_);
  if (debugger->segmentMap_.isEmpty()) {
    debugger->_updateSectionMap();
  }
  QVRange<unsigned long> range;
  if (!debugger->segmentMap_.containsValueForLocation(ip)) {
    return -1;
  }
  const QVSegment& segment = debugger->segmentMap_.valueAndRangeForLocation(ip, range, true);
  *start = range.location;
  *offset = segment.offset;
  if (size > 0) {
    std::strncpy(buffer, segment.path.c_str(), size);
  }
  return 0;
}

bool QVDebuggerLinux::isProcessRunning() {
  if (!running_) {
    return false;
  }
  // EPERM means the process exists but belongs to someone else: still
  // running, only not ours to signal. A zombie still takes signals but will
  // never run again; its parent (often the program that launched the
  // target) just has not collected it yet.
  const pid_t pid = static_cast<pid_t>(processId().nativeIdentifier());
  const bool alive = (::kill(pid, 0) == 0 || errno == EPERM) && !_isZombie(pid);
  if (!alive) {
    running_ = false;
  }
  return alive;
}

bool QVDebuggerLinux::_isZombie(pid_t pid) {
  const std::optional<QVProcTaskStat> stat = QVTracedThread::taskStat(pid);
  return stat && stat->hasExited();
}

bool QVDebuggerLinux::isThreadRunning(const QVThreadId& threadId) {
  char path[96];
  std::snprintf(path, sizeof(path), "/proc/%u/task/%u/stat", static_cast<unsigned>(processId().nativeIdentifier()),
                static_cast<unsigned>(threadId.nativeIdentifier()));
  struct stat status;
  return ::stat(QVSystemPaths::path(path).c_str(), &status) == 0;
}

namespace {

bool SignalProcess(int64_t pid, int signal) { return ::kill(static_cast<pid_t>(pid), signal) == 0; }

bool SignalThread(int64_t tid, int signal) { return ::syscall(SYS_tkill, static_cast<pid_t>(tid), signal) == 0; }

}  // namespace

bool QVDebuggerLinux::suspendProcess() { return SignalProcess(processId().nativeIdentifier(), SIGSTOP); }
bool QVDebuggerLinux::resumeProcess() { return SignalProcess(processId().nativeIdentifier(), SIGCONT); }
bool QVDebuggerLinux::terminateProcess() { return SignalProcess(processId().nativeIdentifier(), SIGKILL); }
bool QVDebuggerLinux::suspendThread(const QVThreadId& threadId) {
  return SignalThread(threadId.nativeIdentifier(), SIGSTOP);
}
bool QVDebuggerLinux::resumeThread(const QVThreadId& threadId) {
  return SignalThread(threadId.nativeIdentifier(), SIGCONT);
}
bool QVDebuggerLinux::terminateThread(const QVThreadId& threadId) {
  return SignalThread(threadId.nativeIdentifier(), SIGKILL);
}

bool QVDebuggerLinux::attach() {
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId(), true, true, false);
  bool attached = false;
  for (const QVThreadId& threadId : threadIds) {
    attached = attachThread(threadId) || attached;
  }
  return attached;
}

bool QVDebuggerLinux::detach() {
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId(), true, false, false);
  for (const QVThreadId& threadId : threadIds) {
    detachThread(threadId);
  }
  return true;
}

bool QVDebuggerLinux::attachThread(const QVThreadId& threadId) {
  return QVTracedThread::attach(static_cast<pid_t>(threadId.nativeIdentifier()), debug(), _attachWaitStyle());
}

// Asked once: a process keeps its parent (a child of ours that outlives us
// is no longer attached to by us anyway).
QVTracedThread::WaitStyle QVDebuggerLinux::_attachWaitStyle() {
  int own = ownChild_.load();
  if (own < 0) {
    const std::optional<QVProcTaskStat> stat =
        QVTracedThread::taskStat(static_cast<pid_t>(processId().nativeIdentifier()));
    own = stat && stat->ppid == static_cast<int>(::getpid()) ? 1 : 0;
    ownChild_.store(own);
  }
  return own == 1 ? QVTracedThread::WaitStyle::Polled : QVTracedThread::WaitStyle::Blocking;
}

bool QVDebuggerLinux::detachThread(const QVThreadId& threadId) {
  return QVTracedThread::detach(static_cast<pid_t>(threadId.nativeIdentifier()), debug());
}

uint64_t QVDebuggerLinux::sharedLibrarySize() {
  QVTaskInfoLinux info(processId().nativeIdentifier());
  return info.procStatusValues().integer(QVTaskInfoLinux::ProcStatusValues::VmLib);
}

int64_t QVDebuggerLinux::_nativeThreadId(const QVThreadId& threadId) const {
  return threadId.isValid() ? threadId.nativeIdentifier() : processId().nativeIdentifier();
}

int QVDebuggerLinux::_memoryFile(const QVThreadId& threadId, int64_t nativeId) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const auto found = memoryFiles_.find(threadId);
  if (found != memoryFiles_.end()) {
    return found->second.get();
  }
  const std::string path = QVSystemPaths::path("/proc/" + std::to_string(nativeId) + "/mem");
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd >= 0) {
    memoryFiles_.emplace(threadId, QVFileDescriptor(fd));
  }
  return fd;
}

bool QVDebuggerLinux::readMemory(void* buffer, unsigned long address, unsigned long length,
                                 const QVThreadId& threadId) {
  return _transferMemory(buffer, address, length, threadId, false);
}

bool QVDebuggerLinux::writeMemory(unsigned long address, const void* buffer, unsigned long length,
                                  const QVThreadId& threadId) {
  return _transferMemory(const_cast<void*>(buffer), address, length, threadId, true);
}

bool QVDebuggerLinux::_transferMemory(void* buffer, unsigned long address, unsigned long length,
                                      const QVThreadId& threadId, bool write) {
  const int64_t nativeId = _nativeThreadId(threadId);
  // Already traced (by a caller's attach()) is fine: that caller detaches.
  QVTracedThread traced(static_cast<pid_t>(nativeId), debug(), _attachWaitStyle());
  bool done = false;
  const int fd = _memoryFile(threadId, nativeId);
  if (fd < 0) {
    QV_WARNING("no access to memory of process " << process());
  } else {
    // The descriptor is shared by every caller for this thread, and its
    // position with it: seek and transfer as one step.
    std::lock_guard<std::recursive_mutex> lock(lock_);
    errno = 0;
    const off_t position = ::lseek(fd, static_cast<off_t>(address), SEEK_SET);
    if (position == static_cast<off_t>(address)) {
      const ssize_t count = write ? ::write(fd, buffer, length) : ::read(fd, buffer, length);
      done = count >= 0 && static_cast<unsigned long>(count) == length;
    } else if (errno == 0) {
      done = !write && _peekData(buffer, address, length, nativeId);
    } else {
      const int error = errno;
      QV_ERROR("failed to seek to memory address 0x" << Hex{address} << " in " << process() << ": "
                                                     << ErrorText(error));
    }
  }
  return done;
}

bool QVDebuggerLinux::_peekData(void* buffer, unsigned long address, unsigned long length, int64_t nativeThreadId) {
  // Each request gives one word, of which the low 32 bits are used: whole
  // 32-bit units only.
  if (reinterpret_cast<uintptr_t>(buffer) % 4 != 0 || length % 4 != 0) {
    return false;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  for (unsigned long done = 0; done < length; done += 4) {
    errno = 0;
    const long word = ::ptrace(PTRACE_PEEKDATA, static_cast<pid_t>(nativeThreadId),
                               reinterpret_cast<void*>(address + done), nullptr);
    if (word == -1 && errno != 0) {
      const int error = errno;
      QV_ERROR("failed to PTRACE_PEEKDATA at address 0x" << Hex{address + done} << " in " << process() << ": "
                                                         << ErrorText(error));
      return false;
    }
    const uint32_t low = static_cast<uint32_t>(static_cast<unsigned long>(word));
    std::memcpy(out + done, &low, sizeof(low));
  }
  return true;
}

}  // namespace Quorvel
