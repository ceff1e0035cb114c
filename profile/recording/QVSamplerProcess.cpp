#include "recording/QVSamplerProcess.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <ostream>
#include <vector>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
#include "model/QVDebugger.h"
#include "model/QVProcess.h"
#include "notify/QVNotificationIds.h"
#include "samples/QVAbstractCallStack.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "system/QVMachine.h"
#include "time/QVTime.h"

namespace Quorvel {

namespace {

// Deep enough for any real program; a runaway walk ends here.
constexpr unsigned long kMaxCallStackDepth = 512;

}  // namespace

QVSamplerProcess::QVSamplerProcess(const std::shared_ptr<QVSessionConfig>& config)
    : QVSampler(config), timer_(0.0, true) {
  timer_.expiryDelegate.addObserver([this](QVTimer&) { _sampleInternal(); });
  setConfig(config);
}

QVSamplerProcess::~QVSamplerProcess() {
  abort();
  // Not under the lock: a tick in progress may be waiting for it.
  timer_.cancel();
}

bool QVSamplerProcess::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVSamplerProcessErrorUnableToSampleTargetProcess) {
    os << "Unable to sample the target process. " << std::endl << "Please select another process for profiling.";
    return true;
  }
  return QVSampler::getErrorMessage(os, id);
}

bool QVSamplerProcess::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id == QVSamplerProcessWarningTargetProcessExited) {
    os << "The target process exited.";
    return true;
  }
  return QVSampler::getWarningMessage(os, id);
}

bool QVSamplerProcess::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (isActive() || !QVSampler::setConfig(config)) {
    return false;
  }
  const std::shared_ptr<QVSessionConfig>& stored = this->config();
  if (stored && stored->timerConfig) {
    timer_.setInterval(stored->timerConfig->interval);
  }
  return true;
}

double QVSamplerProcess::samplingInterval() const { return timer_.interval(); }

bool QVSamplerProcess::setTargetProcess(const std::shared_ptr<QVProcess>& process) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (isActive()) {
    QV_WARNING("unable to set target process while active");
    return false;
  }
  target_.reset();
  debugger_.reset();
  if (!process) {
    QV_DEBUG("cleared target process");
    return true;
  }
  const int64_t pid = process->processId().nativeIdentifier();
  if (!process->isRunning()) {
    QV_ERROR("unable to set target process to " << process->name() << " [" << pid << "] - process has exited");
    return false;
  }
  if (pid == static_cast<int64_t>(::getpid())) {
    QV_ERROR("unable to set target process to self");
    return false;
  }
  if (process->executablePath().empty()) {
    QV_ERROR("unable to set target process to kernel thread or system service");
    return false;
  }
  if (pid == 1) {
    QV_ERROR("unable to set target process to init process");
    return false;
  }
  const QVArchitecture local = LocalMachineArchitecture();
  if (process->architecture() != local) {
    QV_ERROR("unable to target a " << ArchitectureToPrettyString(process->architecture()) << " process running on a "
                                   << ArchitectureToPrettyString(local) << " system");
    return false;
  }
  target_ = process;
  debugger_ = process->debugger();
  if (debugger_) {
    debugger_->sectionMap(false);
  }
  sharedLibrarySize_ = 0;
  QV_DEBUG("set target process to " << *process);
  return true;
}

std::shared_ptr<QVProcess> QVSamplerProcess::targetProcess() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return target_;
}

bool QVSamplerProcess::_start() {
  if (!QVSampler::_start()) {
    return false;
  }
  if (!target_) {
    QV_ERROR("failed to start profiling - no target process set");
    return false;
  }
  if (!target_->isRunning()) {
    QV_ERROR("failed to start profiling - target process " << target_->name() << " ["
                                                           << target_->processId().nativeIdentifier()
                                                           << "] has exited");
    return false;
  }
  if (!debugger_) {
    QV_ERROR("failed to start profiling - no debugger for target process");
    return false;
  }
  // The first sample refreshes the map and the thread list, and counts:
  // a recording stopped at once keeps it. Samples are timed from the start
  // tick set below.
  sampleArchiver_ = std::make_shared<QVUniqueCallStackTenureArchiver>();
  startTime_ = CurrentUniversalTime();
  startTick_ = TimeNanos();
  previousSampleTime_ = 0;
  tickCount_ = 0;
  cpuTimes_.clear();
  endRequested_ = false;
  const std::shared_ptr<QVSessionConfig>& settings = config();
  deadlineTick_ = settings && settings->timeLimitEnable && settings->timeLimit > 0.0
                      ? startTick_ + static_cast<uint64_t>(settings->timeLimit * 1e9)
                      : 0;
  if (!_sampleTarget()) {
    QV_ERROR("failed to start profiling - unable to sample target process "
             << target_->name() << " [" << target_->processId().nativeIdentifier() << "]");
    return false;
  }
  timer_.start();
  if (!timer_.isRunning()) {
    QV_ERROR("unable to start profiling - failed to start interval timer");
    return false;
  }
  return true;
}

bool QVSamplerProcess::stop() {
  endRequested_ = true;
  return QVSampler::stop();
}

void QVSamplerProcess::abort() {
  endRequested_ = true;
  QVSampler::abort();
}

void QVSamplerProcess::_timeLimitInternal() {
  endRequested_ = true;
  QVSampler::_timeLimitInternal();
}

int64_t QVSamplerProcess::_cpuTimeSincePreviousSample(const QVThreadId& threadId,
                                                      const QVDebugger::ThreadSample& sample) {
  if (!sample.hasCpuTime) {
    return -1;
  }
  const auto found = cpuTimes_.find(threadId);
  // A thread seen for the first time after the start was born since the
  // previous tick: all its time is new. At the start nothing is.
  int64_t since = tickCount_ == 0 ? 0 : static_cast<int64_t>(sample.cpuNanos);
  if (found != cpuTimes_.end()) {
    since = sample.cpuNanos >= found->second.nanos ? static_cast<int64_t>(sample.cpuNanos - found->second.nanos) : 0;
  }
  cpuTimes_[threadId] = CpuTime{sample.cpuNanos, tickCount_};
  return since;
}

// Threads not seen for a while have ended; their entries would otherwise
// pile up in a target that keeps making short-lived threads.
void QVSamplerProcess::_forgetQuietThreads() {
  constexpr uint64_t kQuietTicks = 1000;
  if (tickCount_ % kQuietTicks != 0) {
    return;
  }
  for (auto it = cpuTimes_.begin(); it != cpuTimes_.end();) {
    it = tickCount_ - it->second.tick > kQuietTicks ? cpuTimes_.erase(it) : std::next(it);
  }
}

bool QVSamplerProcess::_pastDeadline() const { return deadlineTick_ != 0 && TimeNanos() >= deadlineTick_; }

bool QVSamplerProcess::_stop() {
  // The lock is held, and a tick waits for it: request, never wait.
  timer_.requestCancel();
  endTime_ = CurrentUniversalTime();
  endTick_ = TimeNanos();
  return QVSampler::_stop();
}

bool QVSamplerProcess::_abort() {
  const bool aborted = QVSampler::_abort();
  timer_.requestCancel();
  return aborted;
}

bool QVSamplerProcess::_collect() {
  if (!QVSampler::_collect()) {
    return false;
  }
  const std::shared_ptr<QVSessionProfile>& profile = sessionProfile();
  if (!profile) {
    return false;
  }
  auto data = std::make_shared<QVSessionDataCallStackTenures>(sampleArchiver_);
  data->setBeginTime(startTime_);
  data->setEndTime(endTime_);
  data->setBeginTick(startTick_);
  data->setEndTick(endTick_);
  profile->setCallStackData(data);
  return true;
}

void QVSamplerProcess::_sampleInternal() {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  // An expiry that waited for the lock while the recording ended finds
  // nothing to do.
  if (!isActive() || !sampleArchiver_) {
    return;
  }
  if (_pastDeadline()) {
    _timeLimitInternal();
    return;
  }
  if (!_sampleTarget()) {
    stop();
    return;
  }
  if (sampleLimit_ != 0 && sampleArchiver_->size() >= sampleLimit_) {
    _sampleLimitInternal();
  } else if (_pastDeadline()) {
    _timeLimitInternal();
  }
}

// Libraries loaded or unloaded change the mapped library size; only then is
// the whole map re-read, never on every tick.
void QVSamplerProcess::_refreshSectionMapIfLibrariesChanged() {
  const uint64_t size = debugger_->sharedLibrarySize();
  if (size != 0 && size != sharedLibrarySize_) {
    QV_DEBUG("updating process " << target_->processId() << " memory map as shared library size changed from "
                                 << sharedLibrarySize_ << " -> " << size);
    target_->setSectionMap(debugger_->sectionMap(true));
    sharedLibrarySize_ = size;
  }
}

bool QVSamplerProcess::_sampleTarget() {
  _refreshSectionMapIfLibrariesChanged();
  const uint64_t now = TimeNanos() - startTick_;

  QVDebugger::ThreadSampleMap samples;
  const unsigned long depth = collectCallStacks() ? kMaxCallStackDepth : 1;
  const QVDebugger::StopPredicate ending = [this] { return endRequested_.load() || _pastDeadline(); };
  if (!debugger_->sampleThreads(samples, depth, ending) || samples.empty()) {
    // A tick ended before any thread was asked leaves the recording as it
    // was.
    if (ending()) {
      return true;
    }
    if (debugger_->isProcessRunning()) {
      sessionErrors().setErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess);
    } else {
      sessionErrors().setWarningId(QVSamplerProcessWarningTargetProcessExited);
    }
    return false;
  }
  if (sampleArchiver_) {
    std::vector<uint64_t> addresses;
    for (const auto& entry : samples) {
      const QVDebugger::ThreadSample& sample = entry.second;
      const QVContext context =
          QVContext::uniqueContext(entry.first, std::max(sample.processor, 0), QVContext::StateUser);
      sample.stack->getFrames(addresses);
      sampleArchiver_->archive(context, previousSampleTime_, now, addresses, sample.state,
                               _cpuTimeSincePreviousSample(entry.first, sample));
    }
  }
  ++tickCount_;
  _forgetQuietThreads();
  previousSampleTime_ = now;
  return true;
}

}  // namespace Quorvel
