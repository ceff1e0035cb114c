#pragma once

#include <memory>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "metrics/QVMetricData.h"
#include "metrics/QVMetricInfo.h"
#include "metrics/QVMetricSamplerConfig.h"

namespace Quorvel {

// The metrics of a recording: the sampler's configuration, the descriptions
// of the metrics it sampled (so that a reader on another machine can label
// them), and every pass in time order.
//
// Archive keys: "Config", array "MetricInfos" of "MetricInfo", array
// "MetricPasses" of "MetricData".
class QVSessionDataMetrics : public QVArchivable, public QVUnarchivable {
 public:
  QVSessionDataMetrics() : config_(std::make_shared<QVMetricSamplerConfig>()) {}

  const std::shared_ptr<QVMetricSamplerConfig>& config() const { return config_; }
  void setConfig(const std::shared_ptr<QVMetricSamplerConfig>& config) { config_ = config; }
  const std::vector<std::shared_ptr<QVMetricInfo>>& infos() const { return infos_; }
  void setInfos(std::vector<std::shared_ptr<QVMetricInfo>> infos) { infos_ = std::move(infos); }
  const std::vector<std::shared_ptr<QVMetricData>>& passes() const { return passes_; }
  void addPasses(const std::vector<std::shared_ptr<QVMetricData>>& passes);

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  std::shared_ptr<QVMetricSamplerConfig> config_;
  std::vector<std::shared_ptr<QVMetricInfo>> infos_;
  std::vector<std::shared_ptr<QVMetricData>> passes_;
};

}  // namespace Quorvel
