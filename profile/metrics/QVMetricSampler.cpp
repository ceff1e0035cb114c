#include "metrics/QVMetricSampler.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/QVLog.h"
#include "model/QVProcess.h"
#include "time/QVTime.h"

namespace Quorvel {

namespace {

constexpr double kMinimumInterval = 0.1;
constexpr double kMinimumWindow = 5.0;

QVMetricSampler::InfoList valuesOf(const QVMetricSampler::InfoMap& map) {
  QVMetricSampler::InfoList list;
  list.reserve(map.size());
  for (const auto& entry : map) {
    list.push_back(entry.second);
  }
  return list;
}

}  // namespace

QVMetricSampler::QVMetricSampler(Clock clock)
    : clock_(clock ? std::move(clock) : Clock(&TimeNanos)),
      config_(std::make_shared<QVMetricSamplerConfig>()),
      timer_(QVMetricSamplerConfig::kDefaultInterval, true) {
  timer_.expiryDelegate.addObserver([this](QVTimer&) { _sample(); });
}

QVMetricSampler::~QVMetricSampler() { _shutdown(); }

void QVMetricSampler::_shutdown() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    active_ = false;
  }
  // Outside the lock: cancel() waits for a pass in progress, which takes it.
  timer_.cancel();
  _wakeWaiters();
}

void QVMetricSampler::_offer(const std::shared_ptr<QVMetricInfo>& info) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  switch (info->type()) {
    case QVMetricInfo::SYSTEM: systemInfos_[info->id()] = info; break;
    case QVMetricInfo::PROCESS: processInfos_[info->id()] = info; break;
    case QVMetricInfo::THREAD: threadInfos_[info->id()] = info; break;
    case QVMetricInfo::PROCESSOR: processorInfos_[info->id()] = info; break;
    case QVMetricInfo::DISK: diskInfos_[info->id()] = info; break;
    case QVMetricInfo::NETWORK: networkInfos_[info->id()] = info; break;
    case QVMetricInfo::OTHER: break;
  }
}

bool QVMetricSampler::setConfig(const std::shared_ptr<QVMetricSamplerConfig>& config) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!config) {
    return false;
  }
  if (!config_ || *config_ != *config) {
    config_ = config;
    QV_DEBUG("QVMetricSampler metric sampling config - " << *config_);
  }
  if (active_) {
    timer_.requestCancel();
  }
  const double interval = config_->interval;
  if (!(interval >= kMinimumInterval)) {
    QV_DEBUG("invalid metric sampling interval: " << interval);
    return false;
  }
  timer_.setInterval(interval);
  interval_ = interval;
  double window = config_->window;
  if (2 * interval > window) {
    window = 2 * interval;
    QV_DEBUG("adjusted metric sample window to be " << window);
  }
  if (window < kMinimumWindow) {
    window = kMinimumWindow;
    QV_DEBUG("adjusted metric sample window to be " << window);
  }
  window_ = window;
  _resizeRing(static_cast<std::size_t>(std::ceil(window / interval)));
  QV_DEBUG("metric sample window elements: " << ringCapacity_);
  if (!_updateActiveMetrics()) {
    return false;
  }
  if (active_) {
    timer_.start();
  }
  return true;
}

std::shared_ptr<QVMetricSamplerConfig> QVMetricSampler::config() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return config_;
}

void QVMetricSampler::_resizeRing(std::size_t capacity) {
  ring_.clear();
  ringCapacity_ = std::max<std::size_t>(capacity, 1);
}

bool QVMetricSampler::_updateActiveMetrics() {
  struct Kind {
    const char* word;
    const std::vector<std::string>& ids;
    const InfoMap& offered;
    InfoList& active;
  };
  const Kind kinds[] = {{"system", config_->systemMetricIds, systemInfos_, activeSystem_},
                        {"process", config_->processMetricIds, processInfos_, activeProcess_},
                        {"thread", config_->threadMetricIds, threadInfos_, activeThread_},
                        {"processor", config_->processorMetricIds, processorInfos_, activeProcessor_},
                        {"disk", config_->diskMetricIds, diskInfos_, activeDisk_},
                        {"network", config_->networkMetricIds, networkInfos_, activeNetwork_}};
  bool complete = true;
  for (const Kind& kind : kinds) {
    kind.active.clear();
    for (const std::string& id : kind.ids) {
      auto found = kind.offered.find(id);
      if (found == kind.offered.end()) {
        QV_ERROR("failed to find available " << kind.word << " metric '" << id << "'");
        complete = false;
      } else {
        kind.active.push_back(found->second);
      }
    }
  }
  return complete;
}

bool QVMetricSampler::start() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (active_) {
    return false;
  }
  QV_DEBUG("start metric sampling");
  QVProcess::updateProcessList(false);
  if (!_updateActiveMetrics()) {
    return false;
  }
  ring_.clear();
  active_ = true;
  range_ = QVRange<uint64_t>(clock_(), 0);
  _sample();
  timer_.start();
  _wakeWaiters();
  return true;
}

bool QVMetricSampler::stop() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (active_) {
    QV_DEBUG("stop metric sampling");
    active_ = false;
    timer_.requestCancel();
    _wakeWaiters();
  }
  return true;
}

bool QVMetricSampler::stopWithFinalPass(double minimumSeconds) {
  // One lock for both, so that a timer pass cannot slip in between and
  // leave the final one covering nothing.
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (active_ && static_cast<double>(clock_() - range_.location) >= minimumSeconds * 1e9) _sample();
  return stop();
}

bool QVMetricSampler::isActive() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return active_;
}

void QVMetricSampler::_sample() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!active_) {
    return;
  }
  const uint64_t passStart = clock_();
  range_.length = passStart - range_.location;
  auto data = std::make_shared<QVMetricData>(range_);
  if (ring_.size() >= ringCapacity_) {
    ring_.pop_front();
    ++stats_.droppedPasses;
  }
  ring_.push_back(data);
  if (!activeSystem_.empty()) _sampleSystem(*data);
  if (!activeProcess_.empty()) _sampleProcesses(*data);
  if (!activeThread_.empty()) _sampleThreads(*data);
  if (!activeProcessor_.empty()) _sampleProcessors(*data);
  if (!activeDisk_.empty()) _sampleDisks(*data);
  if (!activeNetwork_.empty()) _sampleNetworks(*data);
  const uint64_t passEnd = clock_();
  range_ = QVRange<uint64_t>(passEnd, 0);
  ++stats_.passes;
  stats_.totalPassNanos += passEnd - passStart;
  stats_.maximumPassNanos = std::max(stats_.maximumPassNanos, passEnd - passStart);
  _wakeWaiters();
}

void QVMetricSampler::_sampleSystem(QVMetricData& data) {
  std::shared_ptr<QVMetricSampleSystem> sample = data.addSystemSample(QVSystemId::currentSystemId());
  if (!_sampleSystem(*sample)) {
    QV_ERROR("failed to sample system metrics");
  }
}

void QVMetricSampler::_sampleProcesses(QVMetricData& data) {
  for (const QVProcessId& id : processIds_) {
    if (!_sampleProcess(*data.addProcessSample(id))) {
      QV_DEBUG("failed to sample process metrics for " << id << " - assuming that it has exited");
      data.removeProcessSample(id);
      ++stats_.failedSamples;
    }
  }
}

void QVMetricSampler::_sampleThreads(QVMetricData& data) {
  for (const QVThreadId& id : threadIds_) {
    if (!_sampleThread(*data.addThreadSample(id))) {
      QV_DEBUG("failed to sample thread metrics for " << id << " - assuming that it has exited");
      data.removeThreadSample(id);
      ++stats_.failedSamples;
    }
  }
}

void QVMetricSampler::_sampleProcessors(QVMetricData& data) {
  for (const QVProcessorId& id : processorIds_) {
    if (!_sampleProcessor(*data.addProcessorSample(id))) {
      QV_DEBUG("failed to sample processor metrics for " << id);
      data.removeProcessorSample(id);
      ++stats_.failedSamples;
    }
  }
}

void QVMetricSampler::_sampleDisks(QVMetricData& data) {
  for (const QVDiskId& id : diskIds_) {
    if (!_sampleDisk(*data.addDiskSample(id))) {
      QV_DEBUG("failed to sample disk metrics for " << id << " - assuming that it has been removed");
      data.removeDiskSample(id);
      ++stats_.failedSamples;
    }
  }
}

void QVMetricSampler::_sampleNetworks(QVMetricData& data) {
  for (const QVNetworkId& id : networkIds_) {
    if (!_sampleNetwork(*data.addNetworkSample(id))) {
      QV_DEBUG("failed to sample network metrics for " << id << " - assuming that it has been removed");
      data.removeNetworkSample(id);
      ++stats_.failedSamples;
    }
  }
}

void QVMetricSampler::_wakeWaiters() {
  {
    std::lock_guard<std::mutex> wait(waitLock_);
    ++wakeups_;
  }
  waitCondition_.notify_all();
}

bool QVMetricSampler::waitForData(DataList& out, bool append, double timeoutSeconds) {
  std::unique_lock<std::recursive_mutex> guard(lock_);
  if (!append) {
    out.clear();
  }
  const double timeout =
      timeoutSeconds > 0 ? timeoutSeconds : std::max(1.0, 2.0 * std::ceil(interval_));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
  while (ring_.empty()) {
    std::unique_lock<std::mutex> wait(waitLock_);
    const uint64_t seen = wakeups_;
    guard.unlock();
    const bool woken =
        waitCondition_.wait_until(wait, deadline, [this, seen] { return wakeups_ != seen; });
    wait.unlock();
    guard.lock();
    if (!woken) {
      QV_DEBUG("QVMetricSampler waitForData() timeout");
      return false;
    }
    if (!active_ && ring_.empty()) {
      return false;
    }
  }
  out.insert(out.end(), ring_.begin(), ring_.end());
  ring_.clear();
  return true;
}

QVMetricSampler::InfoList QVMetricSampler::systemMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(systemInfos_);
}
QVMetricSampler::InfoList QVMetricSampler::processMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(processInfos_);
}
QVMetricSampler::InfoList QVMetricSampler::threadMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(threadInfos_);
}
QVMetricSampler::InfoList QVMetricSampler::processorMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(processorInfos_);
}
QVMetricSampler::InfoList QVMetricSampler::diskMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(diskInfos_);
}
QVMetricSampler::InfoList QVMetricSampler::networkMetricInfos() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return valuesOf(networkInfos_);
}

double QVMetricSampler::effectiveInterval() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return interval_;
}
double QVMetricSampler::effectiveWindow() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return window_;
}
std::size_t QVMetricSampler::ringCapacity() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return ringCapacity_;
}
QVMetricSampler::QVMetricSamplerStats QVMetricSampler::stats() const {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  return stats_;
}

}  // namespace Quorvel
