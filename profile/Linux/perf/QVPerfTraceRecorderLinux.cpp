#include "Linux/perf/QVPerfTraceRecorderLinux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "archivers/QVSystemCallTenureArchiver.h"
#include "archivers/QVThreadTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "Linux/perf/QVPerfTraceDecoder.h"
#include "Linux/perf/QVPerfTraceEventFormatTable.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "notify/QVNotificationIds.h"
#include "session/QVSessionProfile.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

bool envSet(const char* name) { return std::getenv(name) != nullptr; }

// perf opens its events and writes the file header before it synthesises
// the existing tasks and starts counting; a recording counts as started
// once the header is there. Longer than any start seen on a loaded machine.
constexpr int kStartTimeoutSeconds = 15;

std::string perfRecordHelp(const std::string& perf) {
  std::string help;
  QVProcessManager::defaultManager().run(perf, {"record", "-h"}, GetTempDirectory(), help);
  return help;
}

// A fifo of a fresh name in the temporary directory; empty when none can
// be made.
std::string makeFifo(const char* prefix) {
  std::string path = CreateTempFile(std::string(), prefix);
  if (path.empty()) return path;
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) return std::string();
  return path;
}

bool pastDeadline(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() > deadline;
}

// The last line perf wrote that says something, for the user.
std::string lastLineOf(const std::string& path) {
  std::string text;
  if (path.empty() || !FileReadString(path, text)) return std::string();
  std::istringstream in(text);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t") != std::string::npos) last = line;
  }
  return last;
}

}  // namespace

const char* const QVPerfTraceRecorderLinux::TEMP_SAMPLE_DATA_FILE_PREFIX = "quorvel-perf-callstack-samples";
const char* const QVPerfTraceRecorderLinux::TEMP_TRACE_DATA_FILE_PREFIX = "quorvel-perf-event-trace";
bool QVPerfTraceRecorderLinux::debugPerfTrace_ = envSet("QV_DEBUG_PERF_TRACE");
bool QVPerfTraceRecorderLinux::debugKeepPerfTraceData_ = envSet("QV_DEBUG_KEEP_PERF_TRACE_DATA");

const QVPerfTraceEventFormatTable& QVPerfTraceRecorderLinux::eventFormats() {
  static QVPerfTraceEventFormatTable table;
  static std::once_flag once;
  std::call_once(once, [] {
    QVEffectiveUser root(0, 0);
    // tracefs shows the same events at its own mount point when debugfs is
    // not there.
    std::string events = QVSystemPaths::path("/sys/kernel/debug/tracing/events");
    if (!FileExists(events)) events = QVSystemPaths::path("/sys/kernel/tracing/events");
    table.load(events);
  });
  return table;
}

QVPerfTraceRecorderLinux::QVPerfTraceRecorderLinux(const std::shared_ptr<QVSessionConfig>& config)
    : QVSampler(config), driver_(QVProfileDriverLinuxPerf::defaultDriver()), ownPid_(::getpid()), tasks_(config) {
  if (driver_ && driver_->isAvailable()) {
    if (!driver_->isLoaded()) driver_->load({});
    if (driver_->isLoaded()) driver_->init();
    // Asked of the installed perf once: options that older perf lacks.
    static const std::string help = perfRecordHelp(driver_->perfBinaryPath());
    excludePerf_ = help.find("--exclude-perf") != std::string::npos;
    controlFifo_ = help.find("--control") != std::string::npos;
  }
  setCollectCallStacks(true);
  setGatherKernelSymbols(true);
  setConfig(config);
  exitHandler_ = QVProcessManager::defaultManager().addChildExitHandler(
      [this](pid_t pid, int status) { _handleChildProcessExit(pid, status); });
  eventFormats();
}

QVPerfTraceRecorderLinux::~QVPerfTraceRecorderLinux() {
  abort();
  QVProcessManager::defaultManager().removeChildExitHandler(exitHandler_);
  // A recording that was never collected leaves no files behind.
  _removeDataFiles();
}

bool QVPerfTraceRecorderLinux::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly) {
    os << "The perf process used to collect profiling data exited unexpectedly." << std::endl
       << "       The selected profiling configuration may not be compatible with this" << std::endl
       << "       system.";
    return true;
  }
  return QVSampler::getErrorMessage(os, id);
}

bool QVPerfTraceRecorderLinux::getWarningMessage(std::ostream& os, const std::string& id) const {
  return QVSampler::getWarningMessage(os, id);
}

bool QVPerfTraceRecorderLinux::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (isActive() || !QVSampler::setConfig(config)) return false;
  tasks_.setConfig(config);
  if (driver_) driver_->setConfig(config);
  return true;
}

std::string QVPerfTraceRecorderLinux::perfExitMessage() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return perfExitMessage_;
}

std::vector<std::string> QVPerfTraceRecorderLinux::dataPaths() const {
  // A perf child that dies ends the recording on the process manager's
  // thread, which removes the files and clears their paths.
  std::lock_guard<std::recursive_mutex> lock(mutex());
  std::vector<std::string> paths;
  for (const Child* child : {&scheduler_, &syscall_, &sample_}) {
    if (!child->dataPath.empty()) paths.push_back(child->dataPath);
  }
  return paths;
}

std::string QVPerfTraceRecorderLinux::sampleDataPath() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return sample_.dataPath;
}

bool QVPerfTraceRecorderLinux::_traceEnabled(bool scheduler) const {
  const std::shared_ptr<QVSessionConfig>& config = this->config();
  if (!config) return false;
  return scheduler ? config->schedTraceConfig && config->schedTraceConfig->isEnabled()
                   : config->syscallTraceConfig && config->syscallTraceConfig->isEnabled();
}

std::vector<std::string> QVPerfTraceRecorderLinux::schedulerTraceArguments(const std::string& dataPath) const {
  std::vector<std::string> args = {"record", "-a", "-R"};
  if (driver_ && driver_->needsForceOverwriteFlag()) args.push_back("-f");
  for (const char* word : {"-N", "-c", "1", "-e", "sched:sched_switch", "-o"}) args.push_back(word);
  args.push_back(dataPath);
  return args;
}

std::vector<std::string> QVPerfTraceRecorderLinux::syscallTraceArguments(const std::string& dataPath) const {
  std::vector<std::string> args = {"record", "-a"};
  if (driver_ && driver_->needsForceOverwriteFlag()) args.push_back("-f");
  args.push_back("-N");
  // The recorder's own calls (reading the files, waiting) are not the
  // user's; today's kernels refuse the %PID% filter, so perf is asked to
  // leave out its own calls instead when it can.
  const bool filter = driver_ && driver_->isFilterSupported();
  char oldFilter[512];
  std::snprintf(oldFilter, sizeof oldFilter, "--filter=(common_pid!=%%PID%%&&common_pid!=%d)", ownPid_);
  for (const char* event : {"raw_syscalls:sys_enter", "raw_syscalls:sys_exit"}) {
    args.push_back("-e");
    args.push_back(event);
    if (!filter) continue;
    if (excludePerf_) {
      args.push_back("--filter=common_pid!=" + std::to_string(ownPid_));
      args.push_back("--exclude-perf");
    } else {
      args.push_back(oldFilter);
    }
  }
  args.push_back("-o");
  args.push_back(dataPath);
  return args;
}

std::vector<std::string> QVPerfTraceRecorderLinux::sampleArguments(const std::string& dataPath) const {
  const std::shared_ptr<QVSessionConfig>& config = this->config();
  if (!config) return {};
  std::string event;
  uint64_t count = 0;
  const double interval = config->timerConfig ? config->timerConfig->interval : 0.0;
  switch (config->trigger) {
    case QVSessionConfig::TriggerTimer: {
      const uint64_t hz = LocalMachineProcessorFrequency();
      if (hz == 0) {
        QV_ERROR("unable to determine processor frequency");
        return {};
      }
      event = "cpu-cycles";
      count = static_cast<uint64_t>(interval * static_cast<double>(hz));
      if (count <= 999) {
        QV_ERROR("sampling interval of " << count << " CPU clocks is too short");
        return {};
      }
      break;
    }
    case QVSessionConfig::TriggerTimerOS:
      event = "cpu-clock";
      count = static_cast<uint64_t>(interval * 1e9);
      if (count <= 999) {
        QV_ERROR("sampling interval of " << count << " nsec is too short");
        return {};
      }
      break;
    case QVSessionConfig::TriggerEvent:
      event = driver_ ? driver_->triggerEvent().identifier() : std::string();
      count = config->eventConfig ? config->eventConfig->triggerCount : 0;
      if (event.empty()) {
        QV_ERROR("no perf event for the configured trigger event");
        return {};
      }
      break;
    default:
      QV_ERROR("unsupported sampling trigger: " << static_cast<int>(config->trigger));
      return {};
  }
  std::vector<std::string> args = {"record", "-a", "-R", "-g"};
  if (driver_ && driver_->needsForceOverwriteFlag()) args.push_back("-f");
  for (const std::string& word : {std::string("-N"), std::string("-e"), event, std::string("-c"),
                                  std::to_string(count), std::string("-o"), dataPath}) {
    args.push_back(word);
  }
  return args;
}

bool QVPerfTraceRecorderLinux::_startChild(
    Child& child, const char* prefix, bool enabled,
    std::vector<std::string> (QVPerfTraceRecorderLinux::*arguments)(const std::string&) const) {
  child.firstTime = child.lastTime = 0;
  if (!enabled) return true;
  const std::string perf = driver_ ? driver_->perfBinaryPath() : std::string();
  if (perf.empty() || !FileExists(perf) || !FileCanExecute(perf)) {
    QV_ERROR("'perf' command line tool not found");
    return false;
  }
  if (debugKeepPerfTraceData_) {
    child.dataPath = GetTempDirectory() + child.keptName;
    ::unlink(child.dataPath.c_str());
  } else {
    child.dataPath = CreateTempFile(std::string(), prefix);
    if (child.dataPath.empty()) {
      QV_ERROR("failed to create temporary file for perf " << child.word << " data");
      return false;
    }
  }
  QV_DEBUG("created temporary file for perf " << child.word << " data: " << child.dataPath);
  const std::vector<std::string> args = (this->*arguments)(child.dataPath);
  if (args.empty()) return false;

  std::vector<std::string> fullArgs = args;
  if (controlFifo_) {
    // perf starts with its events disabled and enables them when told, and
    // says when it has: only then has it seen the tasks that exist and
    // counts what the caller starts next.
    child.controlPath = makeFifo("quorvel-perf-control");
    child.ackPath = makeFifo("quorvel-perf-ack");
    if (child.controlPath.empty() || child.ackPath.empty()) {
      QV_ERROR("failed to create the control fifos of the perf " << child.word << " process");
      return false;
    }
    fullArgs.insert(fullArgs.begin() + 1, {"-D", "-1", "--control=fifo:" + child.controlPath + "," + child.ackPath});
  }
  child.logPath = CreateTempFile(std::string(), "quorvel-perf-output");
  const int log = child.logPath.empty() ? -1 : ::open(child.logPath.c_str(), O_WRONLY | O_CLOEXEC);
  const pid_t pid = QVProcessManager::defaultManager().spawn(perf, fullArgs, GetTempDirectory(), log);
  const int spawnError = errno;
  if (log >= 0) ::close(log);
  if (pid < 0) {
    QV_ERROR("failed to start perf " << child.word << " process: " << std::strerror(spawnError));
    return false;
  }
  child.pid = pid;
  QV_DEBUG("started perf " << child.word << " process " << pid);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartTimeoutSeconds);
  if (!(controlFifo_ ? _enable(child, deadline) : _awaitHeader(child, deadline))) {
    const std::string said = lastLineOf(child.logPath);
    QV_ERROR("perf " << child.word << " process did not start recording" << (said.empty() ? "" : ": " + said));
    return false;
  }
  return true;
}

bool QVPerfTraceRecorderLinux::_childAlive(const Child& child) const {
  const pid_t pid = child.pid.load();
  // An exited child stays a zombie until reaped, which kill() still finds.
  siginfo_t info = {};
  return pid > 0 && !(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                      info.si_pid == pid);
}

bool QVPerfTraceRecorderLinux::_enable(const Child& child, std::chrono::steady_clock::time_point deadline) const {
  int control = -1;
  // perf opens its end early; until it does, opening the writing end fails.
  while ((control = ::open(child.controlPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (!_childAlive(child) || pastDeadline(deadline)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const char command[] = "enable\n";
  const bool written = ::write(control, command, sizeof command - 1) == static_cast<ssize_t>(sizeof command - 1);
  ::close(control);
  if (!written) return false;
  const int ack = ::open(child.ackPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (ack < 0) return false;
  bool acknowledged = false;
  while (!acknowledged && _childAlive(child) && !pastDeadline(deadline)) {
    struct pollfd ready = {ack, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    char reply[16];
    const ssize_t n = ::read(ack, reply, sizeof reply);
    if (n > 0) acknowledged = true;
    // No writer yet reads as end of file; wait for perf to write.
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(ack);
  return acknowledged;
}

bool QVPerfTraceRecorderLinux::_awaitHeader(const Child& child, std::chrono::steady_clock::time_point deadline) const {
  struct stat status;
  while (::stat(child.dataPath.c_str(), &status) != 0 || status.st_size == 0) {
    if (!_childAlive(child) || pastDeadline(deadline)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool QVPerfTraceRecorderLinux::_start() {
  const bool base = QVSampler::_start();
  stopping_ = false;
  perfExitMessage_.clear();
  _removeDataFiles();
  bool ok = _startChild(scheduler_, TEMP_TRACE_DATA_FILE_PREFIX, _traceEnabled(true),
                        &QVPerfTraceRecorderLinux::schedulerTraceArguments);
  ok = _startChild(syscall_, TEMP_TRACE_DATA_FILE_PREFIX, _traceEnabled(false),
                   &QVPerfTraceRecorderLinux::syscallTraceArguments) && ok;
  ok = _startChild(sample_, TEMP_SAMPLE_DATA_FILE_PREFIX, true, &QVPerfTraceRecorderLinux::sampleArguments) && ok;
  // A start that failed half way ends as an abort, which stops the children
  // that did start.
  return base && ok;
}

void QVPerfTraceRecorderLinux::_stopChild(Child& child) {
  const pid_t pid = child.pid.load();
  if (pid < 0) return;
  if (::kill(pid, SIGINT) != 0) {
    QV_WARNING("failed to send SIGINT to perf " << child.word << " process " << pid << " - " << std::strerror(errno)
                                                << " (" << errno << ")");
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited < 0) {
    QV_WARNING("failed to wait for exited perf " << child.word << " process " << pid << " - "
                                                 << std::strerror(errno) << " (" << errno << ")");
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    QV_WARNING("perf " << child.word << " process exited with status " << WEXITSTATUS(status));
  }
  // Reaped: the number may belong to another process from now on.
  child.pid = -1;
}

bool QVPerfTraceRecorderLinux::_stop() {
  stopping_ = true;
  _stopChild(sample_);
  _stopChild(syscall_);
  _stopChild(scheduler_);
  return QVSampler::_stop();
}

bool QVPerfTraceRecorderLinux::_abort() {
  stopping_ = true;
  const bool result = QVSampler::_abort();
  _stopChild(sample_);
  _stopChild(syscall_);
  _stopChild(scheduler_);
  // An aborted recording is not collected: nothing of it stays on disk.
  _removeDataFiles();
  return result;
}

void QVPerfTraceRecorderLinux::_removeDataFiles() {
  for (Child* child : {&scheduler_, &syscall_, &sample_}) {
    if (!child->dataPath.empty() && !debugKeepPerfTraceData_) ::unlink(child->dataPath.c_str());
    for (std::string* path : {&child->logPath, &child->controlPath, &child->ackPath}) {
      if (!path->empty()) ::unlink(path->c_str());
      path->clear();
    }
    child->dataPath.clear();
  }
}

void QVPerfTraceRecorderLinux::_handleChildProcessExit(pid_t pid, int status) {
  // Exits the recorder asked for are not looked at; the lock is taken only
  // for the others, and the recording may have ended while it was awaited.
  if (pid < 0 || !isActive() || stopping_) return;
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (!isActive() || stopping_) return;
  for (Child* child : {&scheduler_, &syscall_, &sample_}) {
    if (child->pid.load() != pid) continue;
    // perf ends cleanly on the terminal's Ctrl-C, which reaches it beside
    // the caller: it completes its file, then dies of the signal it caught
    // (or exits 0), and the caller's own stop follows.
    if ((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
        (WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGTERM))) {
      QV_DEBUG("perf " << child->word << " process " << pid << " finished its data file");
      return;
    }
    const std::string said = lastLineOf(child->logPath);
    QV_WARNING("perf " << child->word << " process exited unexpectedly with status " << status
                       << (said.empty() ? "" : ": " + said));
    perfExitMessage_ = "perf " + std::string(child->word) + " process " +
                       (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                            : "exited with status " + std::to_string(WEXITSTATUS(status))) +
                       (said.empty() ? "" : ": " + said);
    sessionErrors().setErrorId(QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly);
    abort();
    return;
  }
}

bool QVPerfTraceRecorderLinux::_collect() {
  bool result = QVSampler::_collect();
  const std::shared_ptr<QVSessionProfile>& profile = sessionProfile();
  if (!profile) return false;
  QVEffectiveUser root(0, 0);
  tasks_.clear();
  tasks_.addKernelTaskInfo(gatherKernelSymbols());
  QVPerfTraceDecoder decoder(tasks_, &QVPerfTraceRecorderLinux::eventFormats);

  std::shared_ptr<QVThreadTenureArchiver> threads;
  std::shared_ptr<QVSystemCallTenureArchiver> syscalls;
  auto samples = std::make_shared<QVUniqueCallStackTenureArchiver>();
  sampleArchiver_ = samples;
  struct Source {
    Child* child;
    const char* words;
  };
  for (const Source& source : {Source{&scheduler_, "perf scheduler trace data"},
                               Source{&syscall_, "perf syscall trace data"}, Source{&sample_, "perf sample data"}}) {
    Child& child = *source.child;
    struct stat status;
    if (child.dataPath.empty() || ::stat(child.dataPath.c_str(), &status) != 0) continue;
    QV_DEBUG("recorded " << status.st_size << " bytes of " << source.words << " to " << child.dataPath);
    if (&child == &scheduler_) {
      threads = std::make_shared<QVThreadTenureArchiver>();
      decoder.setThreadTenureArchiver(threads);
    } else if (&child == &syscall_) {
      syscalls = std::make_shared<QVSystemCallTenureArchiver>();
      decoder.setSystemCallArchiver(syscalls);
    } else {
      decoder.setCallStackArchiver(samples);
    }
    if (!decoder.readFile(child.dataPath, child.firstTime, child.lastTime)) {
      QV_ERROR(decoder.error());
      result = false;
    }
    if (debugPerfTrace_) {
      QV_DEBUG(source.words << " tick range for " << child.dataPath << ": " << std::fixed << std::setprecision(6)
                            << child.firstTime * 1e-9 << ".." << child.lastTime * 1e-9);
    }
  }
  for (const auto& entry : decoder.dropped()) {
    QV_DEBUG("dropped " << entry.second << " perf records: " << entry.first);
  }

  uint64_t startTick = 0, endTick = 0;
  for (const Child* child : {&scheduler_, &syscall_, &sample_}) {
    if (child->firstTime != 0 && (startTick == 0 || child->firstTime < startTick)) startTick = child->firstTime;
    if (child->lastTime > endTick) endTick = child->lastTime;
  }
  decoder.finish(startTick, endTick);
  _removeDataFiles();

  decoder.addSessionData(*profile, startTime(), endTime(), endTick - startTick);
  return result;
}

}  // namespace Quorvel
