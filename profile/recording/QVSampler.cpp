#include "recording/QVSampler.h"

#include <exception>
#include <ostream>

#include "archivers/QVAbstractCallStackTenureArchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "notify/QVSupportContact.h"
#include "notify/QVNotificationIds.h"

namespace Quorvel {

QVSampler::QVSampler(const std::shared_ptr<QVSessionConfig>& config) : QVSessionRecorder(config) {}

QVSampler::~QVSampler() { sampleArchiver_.reset(); }

bool QVSampler::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVSamplerErrorInsufficientSamples) {
    os << "Insufficient samples have been collected. Please ensure that the CPUs " << std::endl << "are not idle.";
    return true;
  }
  return QVSessionRecorder::getErrorMessage(os, id);
}

bool QVSampler::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id == QVSamplerWarningBufferOverflow) {
    std::lock_guard<std::recursive_mutex> lock(mutex());
    os << "Profile driver buffer overflow detected:";
    if (lostSampleCount_ != 0) {
      os << " " << lostSampleCount_;
    }
    os << (lostSampleCount_ == 1 ? " sample has been lost." : " samples have been lost.") << std::endl
       << "Please increase the time between samples or increase the size of the" << std::endl
       << "profile driver event buffer.";
    return true;
  }
  if (id == QVSamplerWarningBufferCorrupt) {
    os << "Profile driver buffer corruption detected - samples have been lost." << std::endl
       << "Please submit a bug report or email " << kQVSupportContact;
    return true;
  }
  if (id == QVSamplerWarningSampleLimitReached) {
    os << "The sample limit has been reached - older samples have been discarded on a FIFO basis. " << std::endl
       << "Please increase the time between samples.";
    return true;
  }
  if (id == QVSamplerWarningSamplingIntervalChanged) {
    os << "The sampling interval was changed for optimal performance.";
    return true;
  }
  return QVSessionRecorder::getWarningMessage(os, id);
}

bool QVSampler::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (isActive() || !QVSessionRecorder::setConfig(config)) {
    return false;
  }
  const std::shared_ptr<QVSessionConfig>& stored = this->config();
  sampleLimit_ = (stored && stored->sampleLimitEnable) ? stored->sampleLimit : 0;
  return true;
}

uint64_t QVSampler::sampleCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return sampleArchiver_ ? static_cast<uint64_t>(sampleArchiver_->size()) : 0;
}

uint64_t QVSampler::lostSampleCount() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return lostSampleCount_;
}

uint64_t QVSampler::sampleLimit() const {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  return sampleLimit_;
}

bool QVSampler::_start() {
  sampleArchiver_ = std::make_shared<QVUniqueCallStackTenureArchiver>();
  lostSampleCount_ = 0;
  return true;
}

bool QVSampler::_stop() { return true; }

bool QVSampler::_abort() {
  sampleArchiver_.reset();
  return true;
}

bool QVSampler::_collect() {
  if (lostSampleCount_ != 0) {
    sessionErrors().setWarningId(QVSamplerWarningBufferOverflow);
  }
  return true;
}

void QVSampler::_sampleLimitInternal() {
  std::lock_guard<std::recursive_mutex> lock(mutex());
  if (!isActive()) {
    return;
  }
  setStopReason(StopReasonSampleLimit);
  // The handler runs on a back-end thread that has nobody to hand an
  // exception to: whatever stop throws is logged and the recording aborted.
  try {
    stop();
    return;
  } catch (const QVException& exception) {
    QV_ERROR("Caught QVException in _sampleLimitInternal(): " << exception.message());
    QV_ERROR(" at " << exception.sourceFile() << ":" << exception.line());
    if (!exception.stackTrace().empty()) {
      QV_ERROR("Stack Trace: ");
      exception.printStackTrace();
    }
  } catch (const std::exception& exception) {
    QV_ERROR("Caught exception in _sampleLimitInternal(): " << exception.what());
  } catch (...) {
    QV_ERROR("Caught unknown exception in _sampleLimitInternal()");
  }
  abort();
  // A stop that threw from its hook has already left the recorder inactive,
  // so the abort found nothing to end; the recording still ended by failure.
  setStopReason(StopReasonAbort);
}

}  // namespace Quorvel
