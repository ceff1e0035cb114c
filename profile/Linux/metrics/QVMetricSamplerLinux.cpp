#include "Linux/metrics/QVMetricSamplerLinux.h"

#include "model/QVProcess.h"
#include "model/QVThread.h"

namespace Quorvel {

std::shared_ptr<QVMetricSampler> QVMetricSampler::createMetricSampler() {
  return std::make_shared<QVMetricSamplerLinux>();
}

QVMetricSamplerLinux::QVMetricSamplerLinux(Clock clock) : QVMetricSampler(std::move(clock)) {
  for (const auto& info : QVLinuxSystemMetrics()) _offer(info);
  for (const auto& info : QVLinuxProcessMetrics()) _offer(info);
  for (const auto& info : QVLinuxDiskMetrics()) _offer(info);
  for (const auto& info : QVLinuxNetworkMetrics()) _offer(info);
}

// The timer must stop before the readers it uses are destroyed.
QVMetricSamplerLinux::~QVMetricSamplerLinux() { _shutdown(); }

void QVMetricSamplerLinux::setTargetProcesses(const std::unordered_set<QVProcessId>& processIds) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  targetProcesses_ = processIds;
  processIds_.clear();
  lastForkCount_ = 0;
}

template <class Metric>
std::vector<std::shared_ptr<Metric>> QVMetricSamplerLinux::_active(const InfoList& active) const {
  std::vector<std::shared_ptr<Metric>> metrics;
  metrics.reserve(active.size());
  for (const auto& info : active) {
    // Only this class offers metrics, so every active one is of the kind's class.
    metrics.push_back(std::static_pointer_cast<Metric>(info));
  }
  return metrics;
}

void QVMetricSamplerLinux::_sampleSystem(QVMetricData& data) {
  if (systemReader_.update()) {
    QVMetricSampler::_sampleSystem(data);
  }
}

bool QVMetricSamplerLinux::_sampleSystem(QVMetricSampleSystem& sample) {
  for (const auto& metric : _active<QVMetricInfoSystemLinux>(activeSystem_)) {
    metric->sample(systemReader_, sample);
  }
  return true;
}

void QVMetricSamplerLinux::_sampleProcesses(QVMetricData& data) {
  if (!targetProcesses_.empty()) {
    processIds_ = targetProcesses_;
  } else {
    // The system reader may not have been refreshed this pass when no system
    // metric is active.
    if (activeSystem_.empty()) {
      systemReader_.update();
    }
    const uint64_t forks = systemReader_.procStatValues().integer(QVSystemInfoLinux::Forks);
    if (lastForkCount_ == 0 || forks != lastForkCount_ || processIds_.empty()) {
      processIds_.clear();
      QVProcess::getProcessIdsForSystem(QVSystemId::currentSystemId(), processIds_, true, true, false);
      lastForkCount_ = forks;
    }
  }
  QVMetricSampler::_sampleProcesses(data);
  // Readers of processes no longer in the set would otherwise pile up.
  for (auto it = taskReaders_.begin(); it != taskReaders_.end();) {
    it = processIds_.count(it->first) ? std::next(it) : taskReaders_.erase(it);
  }
}

bool QVMetricSamplerLinux::_sampleProcess(QVMetricSampleProcess& sample) {
  std::unique_ptr<QVTaskInfoLinux>& reader = taskReaders_[sample.processId()];
  if (!reader) {
    reader = std::make_unique<QVTaskInfoLinux>(sample.processId().nativeIdentifier());
  } else if (!reader->update()) {
    taskReaders_.erase(sample.processId());
    return false;
  }
  if (!reader->isValid()) {
    taskReaders_.erase(sample.processId());
    return false;
  }
  for (const auto& metric : _active<QVMetricInfoProcessLinux>(activeProcess_)) {
    metric->sample(*reader, sample);
  }
  return true;
}

void QVMetricSamplerLinux::_sampleThreads(QVMetricData& data) {
  threadIds_.clear();
  for (const QVProcessId& processId : processIds_) {
    QVThread::getThreadIdsForProcess(threadIds_, processId, true, true, false);
  }
  QVMetricSampler::_sampleThreads(data);
}

bool QVMetricSamplerLinux::_sampleThread(QVMetricSampleThread&) { return true; }

void QVMetricSamplerLinux::_sampleProcessors(QVMetricData& data) {
  processorIds_.clear();
  QVMetricSampler::_sampleProcessors(data);
}

bool QVMetricSamplerLinux::_sampleProcessor(QVMetricSampleProcessor&) { return true; }

void QVMetricSamplerLinux::_sampleDisks(QVMetricData& data) {
  QVDiskInfoLinux::getDiskIds(diskIds_, false);
  QVMetricSampler::_sampleDisks(data);
}

bool QVMetricSamplerLinux::_sampleDisk(QVMetricSampleDisk& sample) {
  std::unique_ptr<QVDiskInfoLinux>& reader = diskReaders_[sample.diskId()];
  if (!reader) {
    reader = std::make_unique<QVDiskInfoLinux>(sample.diskId());
  }
  if (!reader->update()) {
    diskReaders_.erase(sample.diskId());
    return false;
  }
  for (const auto& metric : _active<QVMetricInfoDiskLinux>(activeDisk_)) {
    metric->sample(*reader, sample);
  }
  return true;
}

void QVMetricSamplerLinux::_sampleNetworks(QVMetricData& data) {
  QVNetworkInfoLinux::getNetworkIds(networkIds_, false);
  QVMetricSampler::_sampleNetworks(data);
}

bool QVMetricSamplerLinux::_sampleNetwork(QVMetricSampleNetwork& sample) {
  std::unique_ptr<QVNetworkInfoLinux>& reader = networkReaders_[sample.networkId()];
  if (!reader) {
    reader = std::make_unique<QVNetworkInfoLinux>(sample.networkId());
  }
  if (!reader->update()) {
    networkReaders_.erase(sample.networkId());
    return false;
  }
  for (const auto& metric : _active<QVMetricInfoNetworkLinux>(activeNetwork_)) {
    metric->sample(*reader, sample);
  }
  return true;
}

}  // namespace Quorvel
