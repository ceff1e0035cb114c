#include "Linux/perf/QVPerfTraceDecoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include <boost/iostreams/device/mapped_file.hpp>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVLog.h"
#include "ids/QVContext.h"
#include "Linux/perf/QVPerfCallchain.h"
#include "Linux/perf/QVPerfTaskInfoManager.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "samples/QVAbstractThreadTenure.h"
#include "samples/QVSystemCallTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "symbols/QVModule.h"
#include "symbols/elf/QVModuleElf.h"

namespace Quorvel {

namespace {

bool envSet(const char* name) { return std::getenv(name) != nullptr; }

// perf's sched_switch prev_state: 0 when the task stays runnable, the
// sleep, stop and exit bits otherwise; a preempted task reports the bit past
// the task states (0x80 on 6.x kernels, 0x100 on some older ones).
QVAbstractThreadTenure::EndReason endReasonForState(std::int64_t state) {
  if (state == 0 || (state & 0x180)) return QVAbstractThreadTenure::EndReasonPreempted;
  if (state & 0x207) return QVAbstractThreadTenure::EndReasonSleep;
  if (state & 0x70) return QVAbstractThreadTenure::EndReasonExit;
  return QVAbstractThreadTenure::EndReasonUnknown;
}

template <class Archiver>
void makeRelative(const std::shared_ptr<Archiver>& archiver, std::uint64_t startTick) {
  if (!archiver) return;
  for (const auto& tenure : archiver->samples()) {
    const std::uint64_t begin = tenure->beginTick(), end = tenure->endTick();
    tenure->setBeginTick(begin >= startTick ? begin - startTick : 0);
    tenure->setEndTick(end >= startTick ? end - startTick : 0);
  }
}

}  // namespace

bool QVPerfTraceDecoder::debugSampleRecords_ = envSet("QV_DEBUG_PERF_SAMPLE_RECORDS");
bool QVPerfTraceDecoder::debugSchedTraceRecords_ = envSet("QV_DEBUG_PERF_SCHED_TRACE_RECORDS");
bool QVPerfTraceDecoder::debugSyscallTraceRecords_ = envSet("QV_DEBUG_PERF_SYSCALL_TRACE_RECORDS");

struct QVPerfTraceDecoder::CpuState {
  // The thread now running, as the last switch named it.
  bool running = false;
  std::int32_t tid = -1;
  std::string comm;
  std::uint64_t tenureStart = 0;
  std::int32_t priority = -1;
  // The call stack taken last on this processor, which lasts until the next.
  bool pending = false;
  QVContext pendingContext;
  std::uint64_t pendingStart = 0;
  std::vector<std::uint64_t> pendingFrames;
};

QVPerfTraceDecoder::QVPerfTraceDecoder(QVPerfTaskInfoManager& tasks, FormatSource formats)
    : tasks_(tasks), formatSource_(std::move(formats)) {
  static const QVPerfTraceEventFormatTable kNone;
  formats_ = &kNone;
}

void QVPerfTraceDecoder::_useFormats(const QVPerfDataFile& file) {
  // The formats perf saved with the file are those of the kernel that
  // recorded it; this machine's stand in for files without them.
  std::vector<std::pair<std::string, std::string>> texts;
  QVBinaryCursor tracingData;
  if (file.featureSection(QVPerfDataFile::kFeatureTracingData, tracingData) &&
      QVPerfDataFile::readTracingDataFormats(tracingData, texts) && !texts.empty()) {
    fileFormats_ = std::make_unique<QVPerfTraceEventFormatTable>();
    fileFormats_->loadTexts(texts);
    formats_ = fileFormats_.get();
  } else if (formatSource_) {
    formats_ = &formatSource_();
  }
  prevComm_ = prevPid_ = prevPrio_ = prevState_ = nextComm_ = nextPid_ = nextPrio_ = -1;
  enterId_ = exitId_ = exitRet_ = -1;
  if (const auto& sched = formats_->schedSwitch()) {
    prevComm_ = sched->indexOfFieldRegex("prev_comm\\[.*\\]");
    prevPid_ = sched->indexOfField("prev_pid");
    prevPrio_ = sched->indexOfField("prev_prio");
    prevState_ = sched->indexOfField("prev_state");
    nextComm_ = sched->indexOfFieldRegex("next_comm\\[.*\\]");
    nextPid_ = sched->indexOfField("next_pid");
    nextPrio_ = sched->indexOfField("next_prio");
  }
  if (const auto& enter = formats_->syscallEnter()) enterId_ = enter->indexOfField("id");
  if (const auto& exit = formats_->syscallExit()) {
    exitId_ = exit->indexOfField("id");
    exitRet_ = exit->indexOfField("ret");
  }
}

QVPerfTraceDecoder::~QVPerfTraceDecoder() = default;

void QVPerfTraceDecoder::setCallStackArchiver(std::shared_ptr<QVUniqueCallStackTenureArchiver> archiver) {
  callStacks_ = std::move(archiver);
}

void QVPerfTraceDecoder::setThreadTenureArchiver(std::shared_ptr<QVThreadTenureArchiver> archiver) {
  threadTenures_ = std::move(archiver);
}

void QVPerfTraceDecoder::setSystemCallArchiver(std::shared_ptr<QVSystemCallTenureArchiver> archiver) {
  systemCalls_ = std::move(archiver);
}

QVPerfTraceDecoder::CpuState& QVPerfTraceDecoder::_cpu(std::int32_t cpu) {
  // A file without CPU numbers keeps one timeline; an imported file may
  // come from a machine with more processors than this one. The kernel
  // bounds the number, a damaged file is bounded here.
  constexpr std::int32_t kMaxCpus = 1 << 16;
  const std::size_t index = cpu < 0 || cpu >= kMaxCpus ? 0 : static_cast<std::size_t>(cpu);
  while (cpus_.size() <= index) cpus_.push_back(std::make_unique<CpuState>());
  return *cpus_[index];
}

void QVPerfTraceDecoder::_drop(const char* reason) { ++dropped_[reason]; }

bool QVPerfTraceDecoder::readFile(const std::string& path, std::uint64_t& first, std::uint64_t& last) {
  first = last = 0;
  const std::string quoted = "\"" + path + "\"";
  struct stat status;
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    error_ = "failed to open file " + quoted;
    return false;
  }
  // A mapping of zero bytes is refused by the system; the reader's own
  // message says why such a file is no perf.data.
  if (status.st_size == 0) return readData("", 0, path, first, last);
  boost::iostreams::mapped_file_source mapping;
  try {
    mapping.open(path);
  } catch (const std::exception&) {
    error_ = "failed to open file " + quoted;
    return false;
  }
  return readData(mapping.data(), mapping.size(), path, first, last);
}

bool QVPerfTraceDecoder::readData(const void* data, std::size_t size, const std::string& name,
                                  std::uint64_t& first, std::uint64_t& last) {
  first = last = 0;
  QVPerfDataFile file;
  if (!file.parse(data, size, name)) {
    error_ = file.error();
    return false;
  }
  for (const std::string& warning : file.warnings()) QV_WARNING(warning);
  // Reading the machine's tracepoint formats costs more than decoding a
  // small file; files of software events alone never need them.
  constexpr std::uint32_t kTypeTracepoint = 2;
  for (const QVPerfEventAttr& attr : file.attributes()) {
    if (attr.type == kTypeTracepoint) {
      _useFormats(file);
      break;
    }
  }

  // Samples are decoded twice (for their time and tasks here, for their
  // content below) rather than kept: a decoded sample is many times the
  // size of this index entry.
  struct Event {
    std::uint64_t time;
    std::uint32_t sequence;
    const QVPerfRecordRef* record;
  };
  std::vector<Event> events, taskEvents;
  events.reserve(file.sampleCount());
  mappings_.clear();
  QVPerfSample sample;
  for (const QVPerfRecordRef& record : file.records()) {
    if (record.type != QV_PERF_RECORD_SAMPLE) {
      // perf writes each processor's buffer in turn, so a process's exec
      // and its new mappings may be out of order in the file; their times
      // put them back. Records that perf made up from /proc carry none and
      // come first.
      QVPerfSampleId id;
      const bool timed = file.decodeSampleId(record, id) && id.hasTime && id.time != ~0ull;
      taskEvents.push_back({timed ? id.time : 0, static_cast<std::uint32_t>(taskEvents.size()), &record});
      continue;
    }
    sample = QVPerfSample();
    if (!file.decodeSample(record, sample)) {
      _drop("malformed sample record");
      continue;
    }
    events.push_back({sample.time, static_cast<std::uint32_t>(events.size()), &record});
    if (sample.pid >= 0 && sample.tid >= 0) tasks_.findAddTaskInfo(sample.pid, sample.tid, std::string());
    // The thread switched out wrote the record: its comm goes with the
    // sample's numbers.
    const std::uint16_t type = sample.rawTypeId();
    if (type != 0 && type == formats_->schedSwitchId()) {
      std::string prevComm;
      std::int32_t prevPid = 0;
      if (formats_->schedSwitch()->readStringField(prevComm_, sample.raw.data(), sample.raw.size(), prevComm) &&
          formats_->schedSwitch()->readIntegerField(prevPid_, sample.raw.data(), sample.raw.size(), prevPid) &&
          prevPid == sample.tid && prevPid > 0) {
        tasks_.findAddTaskInfo(sample.pid, prevPid, prevComm);
      }
    }
  }
  const auto inTimeOrder = [](const Event& a, const Event& b) {
    return a.time != b.time ? a.time < b.time : a.sequence < b.sequence;
  };
  std::sort(taskEvents.begin(), taskEvents.end(), inTimeOrder);
  for (const Event& event : taskEvents) _learnRecord(file, *event.record);
  _placeMappings();

  std::sort(events.begin(), events.end(), inTimeOrder);
  fileFirstTime_ = events.empty() ? 0 : events.front().time;
  for (const Event& event : events) {
    sample = QVPerfSample();
    file.decodeSample(*event.record, sample);
    const std::uint64_t t = sample.time;
    if (first == 0 || first > t) first = t;
    if (last == 0 || last < t) last = t;
    ++sampleRecords_;
    _handleSample(sample);
  }
  return true;
}

void QVPerfTraceDecoder::_learnRecord(const QVPerfDataFile& file, const QVPerfRecordRef& record) {
  switch (record.type) {
    case QV_PERF_RECORD_COMM: {
      QVPerfCommRecord comm;
      if (!file.decodeComm(record, comm)) break;
      // A new program replaces the whole address space, including what a
      // fork inherited.
      constexpr std::uint16_t kMiscCommExec = 0x2000;
      if ((record.misc & kMiscCommExec) && comm.pid == comm.tid) mappings_.erase(comm.pid);
      const QVPerfTaskInfo* task = tasks_.findAddTaskInfo(comm.pid, comm.tid, comm.comm);
      // perf's names are the ones the task had while recording; a process
      // that exited has no other. A later COMM (after exec) renames.
      if (!task || !task->threadId.isValid()) break;
      if (const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(task->threadId, false, false)) {
        thread->setName(comm.comm);
      }
      if (comm.pid == comm.tid) {
        if (const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(task->threadId.asProcessId(), false,
                                                                                 false)) {
          process->setName(comm.comm);
        }
      }
      break;
    }
    case QV_PERF_RECORD_EXIT: {
      QVPerfTaskRecord task;
      if (file.decodeTask(record, task)) tasks_.findAddTaskInfo(task.pid, task.tid, std::string());
      break;
    }
    case QV_PERF_RECORD_FORK: {
      // A forked process runs its parent's code until it executes another
      // program; perf reports no mappings for it.
      QVPerfTaskRecord task;
      if (file.decodeTask(record, task) && task.pid != task.ppid && !mappings_.count(task.pid)) {
        const auto parent = mappings_.find(task.ppid);
        if (parent != mappings_.end()) mappings_[task.pid] = parent->second;
      }
      break;
    }
    case QV_PERF_RECORD_MMAP:
    case QV_PERF_RECORD_MMAP2: {
      QVPerfMmapRecord mmap;
      // The kernel's own mappings (pid -1) are the kernel process's
      // business; anonymous and special mappings name no file.
      // The vdso is the kernel's, the same image in every process of this
      // machine.
      if (file.decodeMmap(record, mmap) && mmap.executable && mmap.pid > 0 &&
          ((!mmap.fileName.empty() && mmap.fileName[0] == '/') || mmap.fileName == "[vdso]")) {
        mappings_[mmap.pid].push_back({mmap.start, mmap.length, mmap.pageOffset, mmap.fileName});
      }
      break;
    }
    default:
      break;
  }
}

// A process's map is what perf saw while recording, not what /proc shows
// at collection: by then the process may have exited or mapped other files.
void QVPerfTraceDecoder::_placeMappings() {
  for (const auto& entry : mappings_) {
    const std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(entry.first, false, false);
    if (!process) continue;
    QVProcess::SectionMap map;
    std::unordered_set<std::string> placed;
    for (const Mapping& mapping : entry.second) {
      // One executable mapping of a file places all of its code, as the
      // debugger does for a live process; the same file loaded elsewhere
      // again is placed again.
      if (!placed.insert(mapping.path + '@' + std::to_string(mapping.start - mapping.pageOffset)).second) continue;
      if (mapping.path == "[vdso]") {
        if (!symbolRoot_.empty()) continue;
        QVDebuggerLinux::_initVDSOModule();
        const std::shared_ptr<QVModule>& vdso = QVDebuggerLinux::vdsoModule();
        if (vdso && vdso->architecture() == process->architecture()) {
          QVDebuggerLinux::placeModule(vdso, mapping.start, 0, map);
        }
        continue;
      }
      const std::shared_ptr<QVModule> module =
          QVModuleElf::moduleForFile(symbolRoot_ + mapping.path, process->architecture());
      if (module) QVDebuggerLinux::placeModule(module, mapping.start, mapping.pageOffset, map);
    }
    if (!map.isEmpty()) process->setSectionMap(map);
  }
}

void QVPerfTraceDecoder::_handleSample(const QVPerfSample& sample) {
  const std::uint16_t type = sample.rawTypeId();
  // Samples of software and hardware events carry no tracepoint data: with
  // -R perf writes an empty raw field, without it none at all.
  if (type == 0) {
    _handleCallStackSample(sample);
  } else if (type == formats_->schedSwitchId()) {
    _handleSchedSwitch(sample);
  } else if (type == formats_->syscallEnterId()) {
    _handleSyscallEnter(sample);
  } else if (type == formats_->syscallExitId()) {
    _handleSyscallExit(sample);
  } else {
    _drop("unexpected sample record type");
  }
}

void QVPerfTraceDecoder::_archivePendingCallStack(CpuState& cpu, std::uint64_t endTick) {
  if (!cpu.pending) return;
  cpu.pending = false;
  if (callStacks_) callStacks_->archive(cpu.pendingContext, cpu.pendingStart, endTick, cpu.pendingFrames);
}

void QVPerfTraceDecoder::_handleCallStackSample(const QVPerfSample& sample) {
  if (!callStacks_) return;
  std::uint64_t context = 0;
  if (!QVPerfCallchainFrames(sample, context, frames_)) {
    if (debugSampleRecords_) {
      QV_WARNING("unsupported callchain context: 0x" << std::hex << context << std::dec << " in pid:" << sample.pid
                                                     << " tid:" << sample.tid);
    }
    _drop("unsupported callchain context");
    return;
  }
  const QVPerfTaskInfo* task = tasks_.findAddTaskInfo(sample.pid, sample.tid, std::string());
  if (!task || !task->threadId.isValid()) {
    _drop("sample of an unknown thread");
    return;
  }
  CpuState& cpu = _cpu(sample.cpu);
  _archivePendingCallStack(cpu, sample.time);
  if (context == 0 || frames_.empty()) return;
  cpu.pending = true;
  cpu.pendingContext = QVContext::uniqueContext(
      task->threadId, sample.cpu < 0 ? 0 : sample.cpu,
      context == QV_PERF_CONTEXT_KERNEL ? QVContext::StateSupervisor : QVContext::StateUser);
  cpu.pendingStart = sample.time;
  cpu.pendingFrames = frames_;
}

const QVPerfTaskInfo* QVPerfTraceDecoder::_idleTask() { return tasks_.findAddTaskInfo(0, 0, std::string()); }

void QVPerfTraceDecoder::_handleSchedSwitch(const QVPerfSample& sample) {
  const auto& format = formats_->schedSwitch();
  const std::uint8_t* raw = sample.raw.data();
  const std::uint64_t length = sample.raw.size();
  std::string prevComm, nextComm;
  std::int32_t prevPid = 0, prevPrio = 0, nextPid = 0, nextPrio = 0;
  std::int64_t prevState = 0;
  if (!format->readStringField(prevComm_, raw, length, prevComm) ||
      !format->readIntegerField(prevPid_, raw, length, prevPid) ||
      !format->readIntegerField(prevPrio_, raw, length, prevPrio) ||
      !format->readIntegerField(prevState_, raw, length, prevState) ||
      !format->readStringField(nextComm_, raw, length, nextComm) ||
      !format->readIntegerField(nextPid_, raw, length, nextPid) ||
      !format->readIntegerField(nextPrio_, raw, length, nextPrio)) {
    QV_ERROR("failed to read sched:sched_switch data");
    _drop("unreadable sched_switch record");
    return;
  }
  const std::int32_t cpuIndex = sample.cpu < 0 ? 0 : sample.cpu;
  CpuState& cpu = _cpu(sample.cpu);
  if (!cpu.running) {
    // The first switch seen on a processor: its thread ran since the trace
    // began.
    if (debugSchedTraceRecords_) {
      QV_DEBUG("faking start of thread tenure for tid: " << prevPid << " comm:" << prevComm << " cpu:" << cpuIndex);
    }
    cpu.running = true;
    cpu.tenureStart = fileFirstTime_;
    cpu.priority = prevPrio;
    cpu.tid = prevPid;
  }
  // Traces of one task hold only its own switches: when it was switched in
  // again is not in them, and a run of unknown start is no run.
  const bool startKnown = cpu.tid == prevPid;
  if (!startKnown) {
    QV_DEBUG("cpu:" << cpuIndex << " tid:" << cpu.tid << " does not match expected tid:" << prevPid);
    _drop("thread runs whose start the trace does not show (a system-wide trace shows every start)");
  }
  const QVAbstractThreadTenure::EndReason reason = endReasonForState(prevState);
  if (reason == QVAbstractThreadTenure::EndReasonUnknown && prevState != 0) {
    QV_DEBUG("unrecognized task state 0x" << std::hex << prevState << std::dec);
  }
  // The record is written by the thread being switched out, so its own
  // pid and tid name that thread fully; the thread switched in is looked up
  // when it is switched out in turn.
  const QVPerfTaskInfo* prevTask =
      prevPid == 0 ? _idleTask()
                   : tasks_.findAddTaskInfo(sample.tid == prevPid ? sample.pid : -1, prevPid, prevComm);
  if (startKnown && prevTask && prevTask->threadId.isValid()) {
    if (threadTenures_) {
      threadTenures_->archive(QVContext::uniqueContext(prevTask->threadId, cpuIndex, QVContext::StateSupervisor),
                              cpu.tenureStart, sample.time, reason, cpu.priority);
    }
  } else if (startKnown) {
    _drop("switch of a thread without id");
  }
  cpu.tenureStart = sample.time;
  cpu.priority = nextPrio;
  cpu.tid = nextPid;
  cpu.comm = nextComm;
}

void QVPerfTraceDecoder::_handleSyscallEnter(const QVPerfSample& sample) {
  const auto& format = formats_->syscallEnter();
  std::int64_t number = 0;
  if (!format->readIntegerField(enterId_, sample.raw.data(), sample.raw.size(), number)) {
    QV_ERROR("failed to read raw_syscall:sys_enter data");
    _drop("unreadable sys_enter record");
    return;
  }
  const QVPerfTaskInfo* task = tasks_.findAddTaskInfo(sample.pid, sample.tid, std::string());
  if (!task || !task->threadId.isValid()) {
    _drop("system call of an unknown thread");
    return;
  }
  std::shared_ptr<QVSystemCallTenure>& pending = pendingSystemCalls_[task->threadId];
  if (pending && debugSyscallTraceRecords_) {
    QV_DEBUG("dropping syscall #" << pending->number() << " on cpu:" << sample.cpu << " without exit in pid:"
                                  << sample.pid << " tid:" << sample.tid);
  }
  pending = std::make_shared<QVSystemCallTenure>(
      QVContext::uniqueContext(task->threadId, sample.cpu < 0 ? 0 : sample.cpu, QVContext::StateUser), sample.time,
      sample.time, static_cast<int>(number));
}

void QVPerfTraceDecoder::_handleSyscallExit(const QVPerfSample& sample) {
  const auto& format = formats_->syscallExit();
  std::int64_t number = 0, result = 0;
  if (!format->readIntegerField(exitId_, sample.raw.data(), sample.raw.size(), number) ||
      !format->readIntegerField(exitRet_, sample.raw.data(), sample.raw.size(), result)) {
    QV_ERROR("failed to read raw_syscall:sys_exit data");
    _drop("unreadable sys_exit record");
    return;
  }
  const QVPerfTaskInfo* task = tasks_.findAddTaskInfo(sample.pid, sample.tid, std::string());
  if (!task || !task->threadId.isValid()) {
    _drop("system call of an unknown thread");
    return;
  }
  const auto found = pendingSystemCalls_.find(task->threadId);
  if (found == pendingSystemCalls_.end() || !found->second) {
    // The call began before the trace did.
    if (debugSyscallTraceRecords_) {
      QV_DEBUG("ignoring syscall #" << number << " exit on cpu:" << sample.cpu
                                    << " without preceding enter in pid:" << sample.pid << " tid:" << sample.tid);
    }
    return;
  }
  const std::shared_ptr<QVSystemCallTenure> tenure = std::move(found->second);
  pendingSystemCalls_.erase(found);
  if (!systemCalls_) return;
  systemCalls_->archive(tenure->context(), tenure->beginTick(), sample.time, tenure->number(), {});
  systemCalls_->samples().back()->setResult(static_cast<std::uint64_t>(result));
}

void QVPerfTraceDecoder::addSessionData(QVSessionProfile& profile, const boost::posix_time::ptime& begin,
                                        const boost::posix_time::ptime& end, std::uint64_t durationTicks) const {
  const auto span = [&](auto& data) {
    data->setBeginTime(begin);
    data->setEndTime(end);
    data->setBeginTick(0);
    data->setEndTick(durationTicks);
  };
  if (threadTenures_ && threadTenures_->size() > 0) {
    auto data = std::make_shared<QVSessionDataThreadTenures>(threadTenures_);
    span(data);
    profile.setThreadTenureData(data);
  }
  if (systemCalls_ && systemCalls_->size() > 0) {
    auto data = std::make_shared<QVSessionDataSystemCallTenures>(systemCalls_);
    span(data);
    profile.setSystemCallData(data);
  }
  if (callStacks_ && callStacks_->size() > 0) {
    auto data = std::make_shared<QVSessionDataCallStackTenures>(callStacks_);
    span(data);
    profile.setCallStackData(data);
  }
}

void QVPerfTraceDecoder::finish(std::uint64_t startTick, std::uint64_t endTick) {
  for (std::size_t index = 0; index < cpus_.size(); ++index) {
    CpuState& cpu = *cpus_[index];
    _archivePendingCallStack(cpu, endTick);
    if (threadTenures_ && cpu.running) {
      const QVPerfTaskInfo* task = cpu.tid == 0 ? _idleTask() : tasks_.findAddTaskInfo(-1, cpu.tid, cpu.comm);
      if (task && task->threadId.isValid()) {
        threadTenures_->archive(
            QVContext::uniqueContext(task->threadId, static_cast<int>(index), QVContext::StateSupervisor),
            cpu.tenureStart, std::max(endTick, cpu.tenureStart), QVAbstractThreadTenure::EndReasonUnknown,
            cpu.priority);
      }
    }
    cpu.running = false;
  }
  pendingSystemCalls_.clear();
  makeRelative(callStacks_, startTick);
  makeRelative(threadTenures_, startTick);
  makeRelative(systemCalls_, startTick);
}

}  // namespace Quorvel
