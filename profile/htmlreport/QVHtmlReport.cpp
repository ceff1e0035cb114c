#include "htmlreport/QVHtmlReport.h"

#include <ostream>

#include <nlohmann/json.hpp>

#include "base/QVException.h"
#include "htmlreport/QVHtmlReportAssets.h"

namespace Quorvel {

namespace {

// Writes `page` with its first `marker` replaced by `content`. The markers
// are fixed texts of our own template, so a missing one is a build fault.
size_t writeUpTo(std::ostream& out, const std::string& page, size_t from, const std::string& marker) {
  const size_t at = page.find(marker, from);
  if (at == std::string::npos) throw QVException("report template lacks " + marker, __LINE__, __FILE__);
  out.write(page.data() + from, static_cast<std::streamsize>(at - from));
  return at + marker.size();
}

// The title goes into markup, not into a script: HTML-escape it.
std::string htmlText(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '&': escaped += "&amp;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

}  // namespace

std::string QVHtmlReport::scriptSafeJson(const nlohmann::json& data) {
  const std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string safe;
  safe.reserve(text.size() + text.size() / 64);
  // Outside strings JSON has none of these characters, so escaping every
  // occurrence keeps the text valid JSON with the same value.
  for (char c : text) {
    switch (c) {
      case '<': safe += "\\u003c"; break;
      case '>': safe += "\\u003e"; break;
      case '&': safe += "\\u0026"; break;
      default: safe += c;
    }
  }
  return safe;
}

void QVHtmlReport::toJson(nlohmann::json& out) const {
  nlohmann::json flame;
  flameGraph_.toJson(flame);
  nlohmann::json names = nlohmann::json::array(), modules = nlohmann::json::array(), self = nlohmann::json::array(),
                 total = nlohmann::json::array();
  for (const QVFlameGraph::Function& function : flameGraph_.functions()) {
    names.push_back(function.name);
    modules.push_back(function.module);
    self.push_back(function.self);
    total.push_back(function.total);
  }
  nlohmann::json facts = nlohmann::json::array();
  for (const auto& fact : facts_) facts.push_back({fact.first, fact.second});
  nlohmann::json metrics = nlohmann::json::array();
  for (const MetricSeries& series : metrics_) {
    nlohmann::json t = nlohmann::json::array(), v = nlohmann::json::array();
    for (const auto& point : series.points) {
      t.push_back(point.first);
      v.push_back(point.second);
    }
    metrics.push_back({{"entity", series.entity}, {"metric", series.metric}, {"unit", series.unit},
                       {"t", std::move(t)}, {"v", std::move(v)}});
  }
  nlohmann::json timeline = nullptr;
  if (timeline_) timeline_->toJson(timeline);
  out = nlohmann::json{{"title", title_},
                       {"facts", std::move(facts)},
                       {"flame", std::move(flame)},
                       {"functions",
                        {{"name", std::move(names)},
                         {"module", std::move(modules)},
                         {"self", std::move(self)},
                         {"total", std::move(total)}}},
                       {"timeline", std::move(timeline)},
                       {"metrics", std::move(metrics)}};
}

void QVHtmlReport::write(std::ostream& out) const {
  nlohmann::json data;
  toJson(data);
  const std::string& page = QVHtmlReportAssets::page();
  size_t at = writeUpTo(out, page, 0, "@QV_TITLE@");
  out << htmlText(title_);
  at = writeUpTo(out, page, at, "@QV_STYLE@");
  out << QVHtmlReportAssets::style();
  at = writeUpTo(out, page, at, "@QV_DATA@");
  out << scriptSafeJson(data);
  at = writeUpTo(out, page, at, "@QV_SCRIPT@");
  out << QVHtmlReportAssets::script();
  out.write(page.data() + at, static_cast<std::streamsize>(page.size() - at));
}

}  // namespace Quorvel
