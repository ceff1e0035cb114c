#include "ProcessRecording.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "DriverCatalog.h"
#include "LogCapture.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "notify/QVNotificationIds.h"
#include "NotificationText.h"
#include "recording/QVSamplerProcess.h"

namespace Quorvel {
namespace qvprof {

ProcessRecording::ProcessRecording(const RecordCommand::Settings& settings,
                                   const std::shared_ptr<QVSessionConfig>& config, pid_t pid)
    : SamplerRecording(config, pid), callStacks_(settings.callStacks) {}

std::string ProcessRecording::notPermittedReason(pid_t pid) {
  std::string reason = "not permitted to trace it";
  const int scope = DriverCatalog::ptraceScope();
  if (scope >= 1 && geteuid() != 0) {
    reason += " (kernel.yama.ptrace_scope = " + std::to_string(scope) + ")";
  } else if (::kill(pid, 0) != 0 && errno == EPERM) {
    reason += " (it belongs to another user)";
  }
  return reason;
}

void ProcessRecording::start(std::ostream& err) {
  const std::string pidText = std::to_string(pid_);
  const std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(pid_, true, false);
  if (!process) throw QVException("no process with pid " + pidText, __LINE__, __FILE__);

  sampler_->setCollectCallStacks(callStacks_);
  // Refusals are only logged by the library; the log line is the reason.
  {
    LogCapture capture;
    if (!sampler_->setTargetProcess(process)) {
      const std::string reason = capture.lastError();
      throw QVException("cannot profile pid " + pidText + (reason.empty() ? "" : ": " + reason), __LINE__,
                        __FILE__);
    }
  }
  LogCapture capture;
  if (!sampler_->start()) {
    QVErrorManager ids;
    sampler_->getSessionErrors(ids, false);
    // A target gone before its first sample is said once, plainly.
    if (ids.testWarningId(QVSamplerProcessWarningTargetProcessExited)) {
      throw QVException(RecordCommand::ExitedBeforeASample, __LINE__, __FILE__);
    }
    NotificationText::write(err, *sampler_, ids, "qvprof: ");
    std::string reason = capture.lastError();
    if (ids.testErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess)) reason = notPermittedReason(pid_);
    throw QVException("cannot start recording pid " + pidText + (reason.empty() ? "" : ": " + reason), __LINE__,
                      __FILE__);
  }
}

uint64_t ProcessRecording::sampleCount() { return sampler_->sampleCount(); }

size_t ProcessRecording::threadCount() {
  const std::shared_ptr<QVProcess> process = sampler_->targetProcess();
  if (!process) return 0;
  std::vector<std::shared_ptr<QVThread>> threads;
  process->getThreads(threads, true, false);
  return threads.size();
}

bool ProcessRecording::targetExited(const QVErrorManager& ids) const {
  return ids.testWarningId(QVSamplerProcessWarningTargetProcessExited);
}

std::string ProcessRecording::noSamplesReason(const QVErrorManager& ids) const {
  if (!ids.testErrorId(QVSamplerProcessErrorUnableToSampleTargetProcess)) return std::string();
  return "cannot sample pid " + std::to_string(pid_) + ": " + notPermittedReason(pid_);
}

}  // namespace qvprof
}  // namespace Quorvel
