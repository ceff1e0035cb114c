#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "metrics/QVMetricData.h"
#include "metrics/QVMetricInfo.h"
#include "metrics/QVMetricSamplerConfig.h"
#include "time/QVTimer.h"

namespace Quorvel {

// Samples the configured metrics on a repeating timer. Each pass becomes a
// QVMetricData held in a ring of ceil(window / interval) passes (the oldest
// is dropped when a consumer falls behind), which waitForData() hands out.
// The platform subclass offers the metrics and fills the samples.
//
// Threads: the timer runs _sample() on its own thread; start(), stop(),
// setConfig() and waitForData() may be called from any thread. All share one
// recursive lock; waiters block on a condition variable that every pass,
// start() and stop() wake.
class QVMetricSampler {
 public:
  // What the sampler has done so far; for diagnostics only.
  struct QVMetricSamplerStats {
    uint64_t passes = 0;
    uint64_t droppedPasses = 0;  // pushed out of the ring before a consumer took them
    uint64_t failedSamples = 0;  // entity samples removed because their reader failed
    uint64_t totalPassNanos = 0;
    uint64_t maximumPassNanos = 0;
  };

  using InfoMap = std::map<std::string, std::shared_ptr<QVMetricInfo>>;
  using InfoList = std::vector<std::shared_ptr<QVMetricInfo>>;
  using DataList = std::vector<std::shared_ptr<QVMetricData>>;
  // Monotonic nanoseconds; tests substitute their own.
  using Clock = std::function<uint64_t()>;

  // The platform's sampler.
  static std::shared_ptr<QVMetricSampler> createMetricSampler();

  virtual ~QVMetricSampler();
  QVMetricSampler(const QVMetricSampler&) = delete;
  QVMetricSampler& operator=(const QVMetricSampler&) = delete;

  virtual bool setConfig(const std::shared_ptr<QVMetricSamplerConfig>& config);
  virtual std::shared_ptr<QVMetricSamplerConfig> config() const;
  virtual bool start();
  virtual bool stop();
  // stop() after one more pass over the time since the last one, so that a
  // caller who ends sampling keeps that stretch: the timer would have taken
  // it only up to an interval later. The pass is skipped when the last one
  // ended under minimumSeconds ago, since rates over a few microseconds are
  // noise. Always true, like stop().
  bool stopWithFinalPass(double minimumSeconds = kMinimumFinalPassSeconds);
  static constexpr double kMinimumFinalPassSeconds = 0.01;
  virtual bool isActive() const;
  // Moves every collected pass, oldest first, into out (cleared first unless
  // append). Waits when there is none, until a pass arrives, the sampler
  // stops, or the timeout passes: timeoutSeconds when positive, else twice
  // the interval rounded up, at least 1 s. False on timeout or stop without
  // data.
  virtual bool waitForData(DataList& out, bool append, double timeoutSeconds);

  virtual InfoList systemMetricInfos() const;
  virtual InfoList processMetricInfos() const;
  virtual InfoList threadMetricInfos() const;
  virtual InfoList processorMetricInfos() const;
  virtual InfoList diskMetricInfos() const;
  virtual InfoList networkMetricInfos() const;

  double effectiveInterval() const;
  double effectiveWindow() const;
  std::size_t ringCapacity() const;
  QVMetricSamplerStats stats() const;

 protected:
  explicit QVMetricSampler(Clock clock = {});

  // One sampling pass (the timer's work); nothing when inactive.
  virtual void _sample();
  virtual void _sampleSystem(QVMetricData& data);
  virtual void _sampleProcesses(QVMetricData& data);
  virtual void _sampleThreads(QVMetricData& data);
  virtual void _sampleProcessors(QVMetricData& data);
  virtual void _sampleDisks(QVMetricData& data);
  virtual void _sampleNetworks(QVMetricData& data);
  virtual bool _sampleSystem(QVMetricSampleSystem& sample) = 0;
  virtual bool _sampleProcess(QVMetricSampleProcess& sample) = 0;
  virtual bool _sampleThread(QVMetricSampleThread& sample) = 0;
  virtual bool _sampleProcessor(QVMetricSampleProcessor& sample) = 0;
  virtual bool _sampleDisk(QVMetricSampleDisk& sample) = 0;
  virtual bool _sampleNetwork(QVMetricSampleNetwork& sample) = 0;

  void _offer(const std::shared_ptr<QVMetricInfo>& info);
  bool _updateActiveMetrics();
  // Stops the timer before a subclass's members go away.
  void _shutdown();

  mutable std::recursive_mutex lock_;
  // The metrics the platform offers, by kind and id, and the configured ones.
  InfoMap systemInfos_, processInfos_, threadInfos_, processorInfos_, diskInfos_, networkInfos_;
  InfoList activeSystem_, activeProcess_, activeThread_, activeProcessor_, activeDisk_, activeNetwork_;
  std::unordered_set<QVProcessId> processIds_;
  std::unordered_set<QVThreadId> threadIds_;
  std::unordered_set<QVProcessorId> processorIds_;
  std::unordered_set<QVDiskId> diskIds_;
  std::unordered_set<QVNetworkId> networkIds_;
  QVMetricSamplerStats stats_;

 private:
  void _wakeWaiters();
  void _resizeRing(std::size_t capacity);

  Clock clock_;
  bool active_ = false;
  std::shared_ptr<QVMetricSamplerConfig> config_;
  double interval_ = QVMetricSamplerConfig::kDefaultInterval;
  double window_ = QVMetricSamplerConfig::kDefaultWindow;
  std::size_t ringCapacity_ = 60;
  QVRange<uint64_t> range_;
  std::deque<std::shared_ptr<QVMetricData>> ring_;
  std::mutex waitLock_;
  std::condition_variable waitCondition_;
  uint64_t wakeups_ = 0;  // guarded by waitLock_
  QVTimer timer_;
};

}  // namespace Quorvel
