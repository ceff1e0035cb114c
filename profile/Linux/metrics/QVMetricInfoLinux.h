#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "metrics/QVMetricInfo.h"
#include "metrics/QVMetricSample.h"
#include "proc/QVDiskInfoLinux.h"
#include "proc/QVNetworkInfoLinux.h"
#include "proc/QVSystemInfoLinux.h"
#include "proc/QVTaskInfoLinux.h"

namespace Quorvel {

// A Linux metric of one entity kind: it reads one value from the kind's
// /proc reader into a sample, under its own id. Reader is the core reader
// the kind samples from, Sample the sample it fills.
template <class Reader, class Sample>
class QVMetricInfoLinux : public QVMetricInfo {
 public:
  // Stores the metric's value for the reader's current pass in the sample.
  using Extract = std::function<void(const QVMetricInfo& info, const Reader& reader, QVPropertyMap& values)>;

  QVMetricInfoLinux(QVMetricType type, std::string id, std::string group, std::string name, std::string description,
                    QVMetricUnits units, std::vector<QVMetricView> views, Extract extract)
      : QVMetricInfo(type, std::move(id), std::move(group), std::move(name), std::move(description), units),
        extract_(std::move(extract)) {
    for (QVMetricView view : views) {
      addView(view);
    }
  }

  void sample(const Reader& reader, Sample& sample) const { extract_(*this, reader, sample.mutableMetricMap()); }

 private:
  Extract extract_;
};

using QVMetricInfoSystemLinux = QVMetricInfoLinux<QVSystemInfoLinux, QVMetricSampleSystem>;
using QVMetricInfoProcessLinux = QVMetricInfoLinux<QVTaskInfoLinux, QVMetricSampleProcess>;
using QVMetricInfoDiskLinux = QVMetricInfoLinux<QVDiskInfoLinux, QVMetricSampleDisk>;
using QVMetricInfoNetworkLinux = QVMetricInfoLinux<QVNetworkInfoLinux, QVMetricSampleNetwork>;

// The 33 metrics Linux offers, described and wired to their reader values.
std::vector<std::shared_ptr<QVMetricInfoSystemLinux>> QVLinuxSystemMetrics();
std::vector<std::shared_ptr<QVMetricInfoProcessLinux>> QVLinuxProcessMetrics();
std::vector<std::shared_ptr<QVMetricInfoDiskLinux>> QVLinuxDiskMetrics();
std::vector<std::shared_ptr<QVMetricInfoNetworkLinux>> QVLinuxNetworkMetrics();

}  // namespace Quorvel
