#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "data/QVConfig.h"

namespace Quorvel {

// What a metric sampler samples and how often: the interval between passes
// and the window of passes it keeps (both in seconds), and the metric ids of
// each entity kind.
//
// Archive keys: the configuration's "Name" and "Description", "Interval" and
// "Window" (text "%.10f"), then arrays "SystemMetricIds",
// "ProcessMetricIds", "ThreadMetricIds", "ProcessorMetricIds",
// "DiskMetricIds", "NetworkMetricIds" of "MetricId".
class QVMetricSamplerConfig : public QVConfig {
 public:
  static constexpr double kDefaultInterval = 1.0;
  static constexpr double kDefaultWindow = 60.0;

  QVMetricSamplerConfig(double interval = kDefaultInterval, double window = kDefaultWindow);

  double interval = kDefaultInterval;
  double window = kDefaultWindow;
  std::vector<std::string> systemMetricIds;
  std::vector<std::string> processMetricIds;
  std::vector<std::string> threadMetricIds;
  std::vector<std::string> processorMetricIds;
  std::vector<std::string> diskMetricIds;
  std::vector<std::string> networkMetricIds;

  bool empty() const;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  void getDescription(std::ostream& os) const;
};

bool operator==(const QVMetricSamplerConfig& a, const QVMetricSamplerConfig& b);
bool operator!=(const QVMetricSamplerConfig& a, const QVMetricSamplerConfig& b);
std::ostream& operator<<(std::ostream& os, const QVMetricSamplerConfig& config);

}  // namespace Quorvel
