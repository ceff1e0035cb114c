#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "metrics/QVMetricData.h"
#include "metrics/QVMetricInfo.h"
#include "metrics/QVSessionDataMetrics.h"

namespace Quorvel {
namespace qvprof {

// Turns successive sampling passes into text: one screen per pass for a
// terminal, or CSV rows ("seconds,entity,metric,view,value") for a pipe.
// Each metric is shown in its first view; delta views need the previous
// pass of the same entity, so the first pass shows them as "-" (and leaves
// them out of CSV).
class MetricsTable {
 public:
  MetricsTable(std::vector<std::shared_ptr<QVMetricInfo>> infos, double processorCount);

  void writeCsvHeader(std::ostream& out) const;
  void writeCsv(std::ostream& out, const QVMetricData& data, uint64_t originNanos);
  // The known values of one pass in the order the screen lists them, each
  // in its metric's first view; delta views use the pass given before.
  struct Value {
    std::string entity;
    const QVMetricInfo* info;
    QVMetricInfo::QVMetricView view;
    double value;
    double elapsedSeconds;  // the pass's length
  };
  std::vector<Value> values(const QVMetricData& data);
  // clearScreen: start with the terminal's home-and-clear sequence.
  void writeScreen(std::ostream& out, const QVMetricData& data, bool clearScreen);

  // Per metric and entity: the minimum, mean and maximum of the metric's
  // first view over the recorded passes.
  static void writeSummary(std::ostream& out, const QVSessionDataMetrics& metrics, double processorCount);

  // "12.3 %", "1.5 MiB", "2.0 MiB/s", "0.25 s", "1.2 k/s".
  static std::string humanValue(const QVMetricInfo& info, QVMetricInfo::QVMetricView view, double value,
                                double elapsedSeconds);

 private:
  struct Row {
    std::string entity;
    const QVMetricInfo* info;
    double value;
    bool known;
  };
  std::vector<Row> _rows(const QVMetricData& data);

  std::vector<std::shared_ptr<QVMetricInfo>> infos_;
  double processorCount_;
  std::map<std::string, QVPropertyMap> previous_;  // by entity text
  double elapsedSeconds_ = 0;
};

}  // namespace qvprof
}  // namespace Quorvel
