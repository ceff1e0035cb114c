#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "metrics/QVSessionDataMetrics.h"

namespace Quorvel {

class QVMetricSamplerLinux;

namespace qvprof {

// The metric sampler that "qvprof record --metrics" runs beside the
// recording, at its own interval on its own timer thread, so that it never
// delays a sample. Destroying it stops the sampler.
class RecordMetrics {
 public:
  // The options "record" gains for metrics.
  static std::vector<Option> options();

  // What the command line asks for.
  struct Request {
    bool enabled = false;
    std::vector<std::string> ids;  // empty: every metric
    double interval = 1.0;
  };
  // Throws UsageError naming the argument at fault.
  static Request requestFrom(const Arguments& arguments);

  // Inactive unless the request is enabled. Unknown ids throw UsageError
  // naming --metric-ids.
  RecordMetrics(const Request& request, pid_t target);
  ~RecordMetrics();
  RecordMetrics(const RecordMetrics&) = delete;
  RecordMetrics& operator=(const RecordMetrics&) = delete;

  bool active() const { return sampler_ != nullptr; }
  // Stops sampling and hands over every pass taken; null when inactive.
  std::shared_ptr<QVSessionDataMetrics> finish();

 private:
  std::shared_ptr<QVMetricSamplerLinux> sampler_;
  std::shared_ptr<QVSessionDataMetrics> data_;
};

}  // namespace qvprof
}  // namespace Quorvel
