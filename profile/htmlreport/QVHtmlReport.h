#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "htmlreport/QVFlameGraph.h"
#include "htmlreport/QVThreadTimeline.h"

namespace Quorvel {

// A session as one self-contained HTML page: the page's markup, script and
// style (compiled into the library from report.html, report.js and
// report.css) with the report's data embedded as JSON. The page loads
// nothing else, so it opens from a file:// URL on a machine without
// network.
//
// Data are aggregated before they are embedded (a flame graph, a bucketed
// timeline, metric series), so the page's size and opening time depend on
// the session's distinct call paths, not on its sample count.
class QVHtmlReport {
 public:
  // One metric of one entity over time: seconds since the session began
  // and the value in the metric's unit.
  struct MetricSeries {
    std::string entity;
    std::string metric;
    std::string unit;
    std::vector<std::pair<double, double>> points;
  };

  explicit QVHtmlReport(std::string title) : title_(std::move(title)) {}

  // A "label: value" line of the page's header, in the order added.
  void addFact(const std::string& label, const std::string& value) { facts_.emplace_back(label, value); }
  void setFlameGraph(QVFlameGraph graph) { flameGraph_ = std::move(graph); }
  void setTimeline(std::shared_ptr<QVThreadTimeline> timeline) { timeline_ = std::move(timeline); }
  void addMetricSeries(MetricSeries series) { metrics_.push_back(std::move(series)); }

  const QVFlameGraph& flameGraph() const { return flameGraph_; }

  // The embedded data: {"title", "facts": [[label, value]...], "flame",
  // "functions": {"name","module","self","total" columns}, "timeline"
  // (or null), "metrics": [{"entity","metric","unit","t":[],"v":[]}]}.
  void toJson(nlohmann::json& out) const;
  // The whole page.
  void write(std::ostream& out) const;

  // JSON text safe inside an HTML <script> element: '<', '>' and '&' are
  // written as \u escapes, so no text of the data (a symbol named
  // "</script>", an HTML comment opener) can end the element or change how
  // the page is parsed; invalid UTF-8 is replaced rather than thrown on.
  static std::string scriptSafeJson(const nlohmann::json& data);

 private:
  std::string title_;
  std::vector<std::pair<std::string, std::string>> facts_;
  QVFlameGraph flameGraph_;
  std::shared_ptr<QVThreadTimeline> timeline_;
  std::vector<MetricSeries> metrics_;
};

}  // namespace Quorvel
