#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "metrics/QVMetricSample.h"
#include "ranges/QVRange.h"

namespace Quorvel {

// One sampling pass: the time it covers (monotonic nanoseconds: location =
// start, length) and at most one sample per system, process, thread,
// processor, disk and network.
//
// Archive keys: "TimeRange", then arrays "SystemSamples", "ProcessSamples",
// "ThreadSamples", "ProcessorSamples", "DiskSamples", "NetworkSamples" of
// "Sample". Samples are written in id order so that files come out the same
// for the same data.
class QVMetricData : public QVArchivable, public QVUnarchivable {
 public:
  template <class Id, class Sample>
  using SampleMap = std::unordered_map<Id, std::shared_ptr<Sample>>;

  QVMetricData() = default;
  explicit QVMetricData(const QVRange<uint64_t>& timeRange) : timeRange_(timeRange) {}

  const QVRange<uint64_t>& timeRange() const { return timeRange_; }
  void setTimeRange(const QVRange<uint64_t>& range) { timeRange_ = range; }

  // The sample of that id, made (empty, with the id) when absent.
  std::shared_ptr<QVMetricSampleSystem> addSystemSample(const QVSystemId& id);
  std::shared_ptr<QVMetricSampleProcess> addProcessSample(const QVProcessId& id);
  std::shared_ptr<QVMetricSampleThread> addThreadSample(const QVThreadId& id);
  std::shared_ptr<QVMetricSampleProcessor> addProcessorSample(const QVProcessorId& id);
  std::shared_ptr<QVMetricSampleDisk> addDiskSample(const QVDiskId& id);
  std::shared_ptr<QVMetricSampleNetwork> addNetworkSample(const QVNetworkId& id);

  // The sample of that id, or a shared empty sample when absent.
  std::shared_ptr<const QVMetricSampleSystem> sampleForSystem(const QVSystemId& id) const;
  std::shared_ptr<const QVMetricSampleProcess> sampleForProcess(const QVProcessId& id) const;
  std::shared_ptr<const QVMetricSampleThread> sampleForThread(const QVThreadId& id) const;
  std::shared_ptr<const QVMetricSampleProcessor> sampleForProcessor(const QVProcessorId& id) const;
  std::shared_ptr<const QVMetricSampleDisk> sampleForDisk(const QVDiskId& id) const;
  std::shared_ptr<const QVMetricSampleNetwork> sampleForNetwork(const QVNetworkId& id) const;

  void removeSystemSample(const QVSystemId& id) { systemSamples_.erase(id); }
  void removeProcessSample(const QVProcessId& id) { processSamples_.erase(id); }
  void removeThreadSample(const QVThreadId& id) { threadSamples_.erase(id); }
  void removeProcessorSample(const QVProcessorId& id) { processorSamples_.erase(id); }
  void removeDiskSample(const QVDiskId& id) { diskSamples_.erase(id); }
  void removeNetworkSample(const QVNetworkId& id) { networkSamples_.erase(id); }

  const SampleMap<QVSystemId, QVMetricSampleSystem>& systemSamples() const { return systemSamples_; }
  const SampleMap<QVProcessId, QVMetricSampleProcess>& processSamples() const { return processSamples_; }
  const SampleMap<QVThreadId, QVMetricSampleThread>& threadSamples() const { return threadSamples_; }
  const SampleMap<QVProcessorId, QVMetricSampleProcessor>& processorSamples() const { return processorSamples_; }
  const SampleMap<QVDiskId, QVMetricSampleDisk>& diskSamples() const { return diskSamples_; }
  const SampleMap<QVNetworkId, QVMetricSampleNetwork>& networkSamples() const { return networkSamples_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  static constexpr std::size_t kInitialBuckets = 11;

  QVRange<uint64_t> timeRange_;
  SampleMap<QVSystemId, QVMetricSampleSystem> systemSamples_{kInitialBuckets};
  SampleMap<QVProcessId, QVMetricSampleProcess> processSamples_{kInitialBuckets};
  SampleMap<QVThreadId, QVMetricSampleThread> threadSamples_{kInitialBuckets};
  SampleMap<QVProcessorId, QVMetricSampleProcessor> processorSamples_{kInitialBuckets};
  SampleMap<QVDiskId, QVMetricSampleDisk> diskSamples_{kInitialBuckets};
  SampleMap<QVNetworkId, QVMetricSampleNetwork> networkSamples_{kInitialBuckets};
};

}  // namespace Quorvel
