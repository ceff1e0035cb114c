#include "proc/QVTaskInfoLinux.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <vector>

#include "base/QVLog.h"
#include "proc/QVProcTaskStatParser.h"
#include "proc/QVProcTaskStatusParser.h"
#include "proc/QVTextReader.h"
#include "system/QVFileDescriptor.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

std::string taskPath(int64_t id, const char* file) {
  return QVSystemPaths::path("/proc/" + std::to_string(id) + (file[0] != '\0' ? "/" : "") + file);
}

std::string threadPath(int64_t pid, int64_t tid, const char* file) {
  return QVSystemPaths::path("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/" + file);
}

std::optional<QVProcTaskStat> readStat(const std::string& path) {
  std::string text;
  if (!FileReadString(path, text)) {
    return std::nullopt;
  }
  std::string_view reason;
  std::optional<QVProcTaskStat> stat = QVProcTaskStatParser::parse(text, &reason);
  if (!stat) {
    QV_WARNING("unreadable task stat " << path << ": " << reason);
  }
  return stat;
}

uint64_t clockTicksPerSecond() {
  static const uint64_t ticks = [] {
    long value = ::sysconf(_SC_CLK_TCK);
    // USER_HZ has been 100 on every Linux architecture the library runs on;
    // sysconf failing is no reason to lose every start time.
    return value > 0 ? static_cast<uint64_t>(value) : uint64_t{100};
  }();
  return ticks;
}

struct DirectoryCloser {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// The names of a /proc folder that are task ids, in the order the kernel
// lists them. Missing folders give none: the task has gone.
std::vector<int> listTaskIds(const std::string& path) {
  std::vector<int> ids;
  std::unique_ptr<DIR, DirectoryCloser> directory(::opendir(path.c_str()));
  if (!directory) {
    return ids;
  }
  while (dirent* entry = ::readdir(directory.get())) {
    std::optional<uint64_t> id = QVTextReader::parseUnsigned(entry->d_name);
    if (id && *id <= static_cast<uint64_t>(std::numeric_limits<int>::max())) {
      ids.push_back(static_cast<int>(*id));
    }
  }
  return ids;
}

// The first bytes of the file, fewer when it is shorter; empty when it
// cannot be opened.
std::string readFileHead(const std::string& path, std::size_t length) {
  const QVFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  if (!file.isOpen()) {
    return bytes;
  }
  bytes.resize(length);
  std::size_t filled = 0;
  while (filled < length) {
    ssize_t count = ::read(file.get(), &bytes[filled], length - filled);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    filled += static_cast<std::size_t>(count);
  }
  bytes.resize(filled);
  return bytes;
}

std::string readLink(const std::string& path) {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) {
      return std::string();
    }
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    // Truncated: the target is longer than the buffer. Paths are bounded by
    // PATH_MAX in practice, but a fixture or an odd filesystem need not be.
    if (buffer.size() >= (1u << 20)) {
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
}

// A process id with its start time, or invalid, for a pid already known to
// be a process (listed in /proc) or checked to be one.
QVProcessId processIdFromStat(int pid, const QVProcTaskStat& stat) {
  if (stat.hasExited()) {
    return QVProcessId();
  }
  return QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), pid,
                                      QVTaskInfoLinux::startTimeFromTicks(LocalMachineBootTime(), stat.startTicks));
}

}  // namespace

QVTaskInfoLinux::QVTaskInfoLinux(int64_t nativeIdentifier) : nativeIdentifier_(nativeIdentifier) {
  _read(state_);
  // A kernel thread has no exe link at all, and a process of another user
  // gives EACCES without privileges; both leave the executable empty.
  executable_ = readLink(taskPath(nativeIdentifier_, "exe"));
  std::optional<QVArchitecture> architecture;
  if (!executable_.empty()) {
    // Through the link rather than by path: the file may have been replaced
    // or deleted since the task started, but the link still opens what runs.
    architecture = architectureFromElfHeader(readFileHead(taskPath(nativeIdentifier_, "exe"), 20));
  }
  architecture_ = architecture.value_or(LocalMachineArchitecture());
}

QVTaskInfoLinux::QVTaskInfoLinux(const QVTaskInfoLinux& other)
    : nativeIdentifier_(other.nativeIdentifier_), executable_(other.executable_), architecture_(other.architecture_) {
  std::lock_guard<std::mutex> lock(other.mutex_);
  state_ = other.state_;
}

QVTaskInfoLinux& QVTaskInfoLinux::operator=(const QVTaskInfoLinux& other) {
  if (this == &other) {
    return *this;
  }
  State copy;
  {
    std::lock_guard<std::mutex> lock(other.mutex_);
    copy = other.state_;
  }
  nativeIdentifier_ = other.nativeIdentifier_;
  executable_ = other.executable_;
  architecture_ = other.architecture_;
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = std::move(copy);
  return *this;
}

bool QVTaskInfoLinux::_read(State& state) const {
  std::optional<QVProcTaskStat> stat = readStat(taskPath(nativeIdentifier_, "stat"));
  if (!stat) {
    return false;
  }
  state.valid = true;
  state.ppid = stat->ppid;
  state.name = stat->command;
  state.startTicks = stat->startTicks;
  state.startTime = startTimeFromTicks(LocalMachineBootTime(), stat->startTicks);
  _fillStatValues(*stat, state.statValues);

  // Without status the task is still known by its stat; the missing values
  // stay 0 as documented.
  std::string text;
  QVProcTaskStatus status;
  if (FileReadString(taskPath(nativeIdentifier_, "status"), text)) {
    status = QVProcTaskStatusParser::parse(text);
    for (const QVProcParseIssue& issue : status.issues) {
      QV_DEBUG("task " << nativeIdentifier_ << " status line " << issue.lineNumber << " skipped (" << issue.reason
                       << "): " << issue.line);
    }
  }
  state.threadGroupId = status.tgid != 0 ? static_cast<int64_t>(status.tgid) : nativeIdentifier_;
  state.realUID = status.realUid.value_or(kUnknownUID);
  _fillStatusValues(status, state.statusValues);
  return true;
}

void QVTaskInfoLinux::_fillStatValues(const QVProcTaskStat& stat, ProcStatValues& values) {
  const double ticksPerSecond = static_cast<double>(clockTicksPerSecond());
  values.setInteger(ProcStatValues::Pid, static_cast<uint64_t>(stat.pid));
  values.setInteger(ProcStatValues::PPid, static_cast<uint64_t>(stat.ppid));
  values.setInteger(ProcStatValues::MinorFaults, stat.minorFaults);
  values.setInteger(ProcStatValues::MajorFaults, stat.majorFaults);
  values.setReal(ProcStatValues::UserTime, static_cast<double>(stat.userTicks) / ticksPerSecond);
  values.setReal(ProcStatValues::SystemTime, static_cast<double>(stat.systemTicks) / ticksPerSecond);
}

void QVTaskInfoLinux::_fillStatusValues(const QVProcTaskStatus& status, ProcStatusValues& values) {
  using P = ProcStatusValues;
  values = ProcStatusValues();
  values.setInteger(P::Tgid, status.tgid);
  values.setInteger(P::Pid, status.pid);
  values.setInteger(P::PPid, status.ppid);
  values.setInteger(P::TracerPid, status.tracerPid);
  values.setInteger(P::Uid, status.realUid.value_or(kUnknownUID));
  values.setInteger(P::Gid, status.realGid.value_or(kUnknownUID));
  values.setInteger(P::VmPeak, status.vmPeak);
  values.setInteger(P::VmSize, status.vmSize);
  values.setInteger(P::VmLck, status.vmLck);
  values.setInteger(P::VmPin, status.vmPin);
  values.setInteger(P::VmHWM, status.vmHWM);
  values.setInteger(P::VmRSS, status.vmRSS);
  values.setInteger(P::VmData, status.vmData);
  values.setInteger(P::VmStk, status.vmStk);
  values.setInteger(P::VmExe, status.vmExe);
  values.setInteger(P::VmLib, status.vmLib);
  values.setInteger(P::VmPTE, status.vmPTE);
  values.setInteger(P::VmSwap, status.vmSwap);
  values.setInt32At(P::kThreadsInt32Position, status.threads);
  values.setInteger(P::VoluntaryContextSwitches, status.voluntaryContextSwitches);
  values.setInteger(P::NonvoluntaryContextSwitches, status.nonvoluntaryContextSwitches);
}

bool QVTaskInfoLinux::isValid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.valid;
}

int64_t QVTaskInfoLinux::threadGroupId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.valid ? state_.threadGroupId : nativeIdentifier_;
}

int64_t QVTaskInfoLinux::ppid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.ppid;
}

std::string QVTaskInfoLinux::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.name;
}

std::string QVTaskInfoLinux::executable() const { return executable_; }

uint32_t QVTaskInfoLinux::realUID() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.realUID;
}

uint64_t QVTaskInfoLinux::startTime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.startTime;
}

QVArchitecture QVTaskInfoLinux::architecture() const { return architecture_; }

bool QVTaskInfoLinux::isRunning() const {
  uint64_t startTicks = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!state_.valid) {
      return false;
    }
    startTicks = state_.startTicks;
  }
  if (!DirectoryExists(taskPath(nativeIdentifier_, ""))) {
    return false;
  }
  std::optional<QVProcTaskStat> stat = readStat(taskPath(nativeIdentifier_, "stat"));
  return stat && !stat->hasExited() && stat->startTicks == startTicks;
}

bool QVTaskInfoLinux::refresh() {
  State fresh;
  if (!_read(fresh)) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_.valid && fresh.startTicks != state_.startTicks) {
    QV_DEBUG("task " << nativeIdentifier_ << " was replaced by a newer task with the same id");
    return false;
  }
  state_ = std::move(fresh);
  return true;
}

QVTaskInfoLinux::ProcStatValues QVTaskInfoLinux::procStatValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.statValues;
}

QVTaskInfoLinux::ProcStatusValues QVTaskInfoLinux::procStatusValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_.statusValues;
}

void QVTaskInfoLinux::getProcessIds(std::unordered_set<QVProcessId>& processIds, bool append) {
  if (!append) {
    processIds.clear();
  }
  // /proc lists thread-group leaders only, so every numbered folder is a
  // process and the Tgid check of QVProcessIdFromNativeIdentifier is not
  // needed here.
  for (int pid : listTaskIds(QVSystemPaths::path("/proc"))) {
    std::optional<QVProcTaskStat> stat = readStat(taskPath(pid, "stat"));
    if (!stat) {
      continue;
    }
    QVProcessId processId = processIdFromStat(pid, *stat);
    if (processId.isValid()) {
      processIds.insert(processId);
    }
  }
}

void QVTaskInfoLinux::getThreadIds(std::unordered_set<QVThreadId>& threadIds, bool append) {
  if (!append) {
    threadIds.clear();
  }
  std::unordered_set<QVProcessId> processIds;
  getProcessIds(processIds, false);
  for (const QVProcessId& processId : processIds) {
    getThreadIdsForProcess(processId, threadIds, true);
  }
}

void QVTaskInfoLinux::getThreadIdsForProcess(const QVProcessId& processId, std::unordered_set<QVThreadId>& threadIds,
                                             bool append) {
  if (!append) {
    threadIds.clear();
  }
  if (!processId.isValid() || processId.asSystemId() != QVSystemId::currentSystemId()) {
    return;
  }
  const int64_t pid = processId.nativeIdentifier();
  if (pid <= 0 || pid > std::numeric_limits<int>::max()) {
    return;
  }
  // The pid may name a newer process by now; its threads are not ours.
  if (QVProcessIdFromNativeIdentifier(static_cast<int>(pid)) != processId) {
    return;
  }
  const uint64_t bootTime = LocalMachineBootTime();
  for (int tid : listTaskIds(taskPath(pid, "task"))) {
    std::optional<QVProcTaskStat> stat = readStat(threadPath(pid, tid, "stat"));
    if (!stat || stat->hasExited()) {
      continue;
    }
    threadIds.insert(QVThreadId::uniqueThreadId(processId, tid, startTimeFromTicks(bootTime, stat->startTicks)));
  }
}

std::optional<QVArchitecture> QVTaskInfoLinux::architectureFromElfHeader(std::string_view header) {
  // e_ident (16 bytes), e_type (2), e_machine (2): the same offsets in the
  // 32- and 64-bit layouts.
  constexpr std::size_t kClass = 4;
  constexpr std::size_t kData = 5;
  constexpr std::size_t kMachine = 18;
  if (header.size() < kMachine + 2 || header.substr(0, 4) != std::string_view("\x7f"
                                                                              "ELF",
                                                                              4)) {
    return std::nullopt;
  }
  const auto byte = [&header](std::size_t index) {
    return static_cast<unsigned>(static_cast<unsigned char>(header[index]));
  };
  const unsigned elfClass = byte(kClass);
  const unsigned data = byte(kData);
  if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2)) {
    return std::nullopt;
  }
  const unsigned machine =
      data == 1 ? (byte(kMachine) | byte(kMachine + 1) << 8) : (byte(kMachine) << 8 | byte(kMachine + 1));
  switch (machine) {
    case 3:  // EM_386
      return QVArchitectureX86;
    case 62:  // EM_X86_64
      return QVArchitectureX86_64;
    case 20:  // EM_PPC
      return QVArchitecturePPC;
    case 21:  // EM_PPC64
      return QVArchitecturePPC64;
    case 40:  // EM_ARM
      return QVArchitectureARM;
    case 183:  // EM_AARCH64
      return QVArchitectureAArch64;
    default:
      return QVArchitectureUnknown;
  }
}

uint64_t QVTaskInfoLinux::startTimeFromTicks(uint64_t bootTimeNanos, uint64_t startTicks) {
  constexpr uint64_t kNanosPerSecond = 1000000000;
  const uint64_t hz = clockTicksPerSecond();
  // Split so that a hostile tick count cannot overflow the multiplication
  // before the division.
  const uint64_t seconds = startTicks / hz;
  const uint64_t remainder = startTicks % hz;
  return bootTimeNanos + seconds * kNanosPerSecond + remainder * kNanosPerSecond / hz;
}

QVProcessId QVProcessIdFromNativeIdentifier(int pid) {
  if (pid <= 0) {
    return QVProcessId();
  }
  std::optional<QVProcTaskStat> stat = readStat(taskPath(pid, "stat"));
  if (!stat) {
    return QVProcessId();
  }
  // /proc/<tid> opens for any thread; only a thread-group leader is a
  // process.
  std::string text;
  if (FileReadString(taskPath(pid, "status"), text)) {
    QVProcTaskStatus status = QVProcTaskStatusParser::parse(text);
    if (status.tgid != 0 && status.tgid != static_cast<uint64_t>(pid)) {
      return QVProcessId();
    }
  }
  return processIdFromStat(pid, *stat);
}

QVThreadId QVThreadIdFromNativeIdentifier(int pid, int tid) {
  if (tid <= 0) {
    return QVThreadId();
  }
  QVProcessId processId = QVProcessIdFromNativeIdentifier(pid);
  if (!processId.isValid()) {
    return QVThreadId();
  }
  std::optional<QVProcTaskStat> stat = readStat(threadPath(pid, tid, "stat"));
  if (!stat || stat->hasExited()) {
    return QVThreadId();
  }
  return QVThreadId::uniqueThreadId(processId, tid,
                                    QVTaskInfoLinux::startTimeFromTicks(LocalMachineBootTime(), stat->startTicks));
}

}  // namespace Quorvel
