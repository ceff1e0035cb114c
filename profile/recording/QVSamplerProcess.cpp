#include "recording/QVSamplerProcess.h"

#include <unistd.h>

#include <ostream>
#include <vector>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "ids/QVContext.h"
#include "model/QVDebugger.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
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
  // The first sample refreshes the map and the thread list; with no
  // archiver in place its stacks stay out of the recording. Samples taken
  // from now on are timed from the start tick set below.
  sampleArchiver_.reset();
  startTick_ = TimeNanos();
  previousSampleTime_ = 0;
  if (!_sampleTarget()) {
    QV_ERROR("failed to start profiling - unable to sample target process "
             << target_->name() << " [" << target_->processId().nativeIdentifier() << "]");
    return false;
  }
  sampleArchiver_ = std::make_shared<QVUniqueCallStackTenureArchiver>();
  startTime_ = CurrentUniversalTime();
  startTick_ = TimeNanos();
  previousSampleTime_ = 0;
  timer_.start();
  if (!timer_.isRunning()) {
    QV_ERROR("unable to start profiling - failed to start interval timer");
    return false;
  }
  return true;
}

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
  if (!_sampleTarget()) {
    stop();
    return;
  }
  if (sampleLimit_ != 0 && sampleArchiver_->size() >= sampleLimit_) {
    _sampleLimitInternal();
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
  QVThread::updateThreadListForProcess(target_->processId(), false);
  const uint64_t now = TimeNanos() - startTick_;

  QVDebugger::CallStackMap stacks;
  const unsigned long depth = collectCallStacks() ? kMaxCallStackDepth : 1;
  if (!debugger_->getProcessCallStacks(stacks, depth) || stacks.empty()) {
    if (debugger_->isProcessRunning()) {
      sessionErrors().setErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess);
    } else {
      sessionErrors().setWarningId(QVSamplerProcessWarningTargetProcessExited);
    }
    return false;
  }
  if (sampleArchiver_) {
    std::vector<uint64_t> addresses;
    for (const auto& entry : stacks) {
      const QVContext context = QVContext::uniqueContext(entry.first, 0, QVContext::StateUser);
      entry.second->getFrames(addresses);
      sampleArchiver_->archive(context, previousSampleTime_, now, addresses);
    }
  }
  previousSampleTime_ = now;
  return true;
}

}  // namespace Quorvel
