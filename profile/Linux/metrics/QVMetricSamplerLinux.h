#pragma once

#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Linux/metrics/QVMetricInfoLinux.h"
#include "metrics/QVMetricSampler.h"

namespace Quorvel {

// The Linux metric sampler: system, process, disk and network metrics from
// /proc (no thread or processor metrics). Readers are made on first use and
// cached; a reader whose entity is gone leaves the cache, and its sample is
// dropped from that pass. The process list is enumerated again only when
// the system's fork counter moved since the last pass.
class QVMetricSamplerLinux : public QVMetricSampler {
 public:
  explicit QVMetricSamplerLinux(Clock clock = {});
  ~QVMetricSamplerLinux() override;

  // Restricts the process metrics to these processes (all processes of the
  // machine when empty, the default).
  void setTargetProcesses(const std::unordered_set<QVProcessId>& processIds);

 protected:
  using QVMetricSampler::_sampleDisk;
  using QVMetricSampler::_sampleNetwork;
  using QVMetricSampler::_sampleProcess;
  using QVMetricSampler::_sampleProcessor;
  using QVMetricSampler::_sampleSystem;
  using QVMetricSampler::_sampleThread;

  void _sampleSystem(QVMetricData& data) override;
  void _sampleProcesses(QVMetricData& data) override;
  void _sampleThreads(QVMetricData& data) override;
  void _sampleProcessors(QVMetricData& data) override;
  void _sampleDisks(QVMetricData& data) override;
  void _sampleNetworks(QVMetricData& data) override;
  bool _sampleSystem(QVMetricSampleSystem& sample) override;
  bool _sampleProcess(QVMetricSampleProcess& sample) override;
  bool _sampleThread(QVMetricSampleThread& sample) override;
  bool _sampleProcessor(QVMetricSampleProcessor& sample) override;
  bool _sampleDisk(QVMetricSampleDisk& sample) override;
  bool _sampleNetwork(QVMetricSampleNetwork& sample) override;

 private:
  template <class Metric>
  std::vector<std::shared_ptr<Metric>> _active(const InfoList& active) const;

  QVSystemInfoLinux systemReader_;
  std::unordered_map<QVProcessId, std::unique_ptr<QVTaskInfoLinux>> taskReaders_;
  std::unordered_map<QVDiskId, std::unique_ptr<QVDiskInfoLinux>> diskReaders_;
  std::unordered_map<QVNetworkId, std::unique_ptr<QVNetworkInfoLinux>> networkReaders_;
  std::unordered_set<QVProcessId> targetProcesses_;
  uint64_t lastForkCount_ = 0;
};

}  // namespace Quorvel
