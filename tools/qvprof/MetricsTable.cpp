#include "MetricsTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "metrics/QVMetricDelta.h"

namespace Quorvel {
namespace qvprof {

namespace {

template <class Id>
std::string entityText(const Id& id) {
  std::ostringstream text;
  text << id;
  return text.str();
}

std::string scaled(double value, const char* const* units, std::size_t unitCount, double step) {
  std::size_t unit = 0;
  while (std::fabs(value) >= step && unit + 1 < unitCount) {
    value /= step;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof(text), unit == 0 && value == std::floor(value) ? "%.0f%s" : "%.1f%s", value,
                units[unit]);
  return text;
}

}  // namespace

MetricsTable::MetricsTable(std::vector<std::shared_ptr<QVMetricInfo>> infos, double processorCount)
    : infos_(std::move(infos)), processorCount_(processorCount > 0 ? processorCount : 1) {}

std::string MetricsTable::humanValue(const QVMetricInfo& info, QVMetricInfo::QVMetricView view, double value,
                                     double elapsedSeconds) {
  static const char* const kBytes[] = {" B", " KiB", " MiB", " GiB", " TiB"};
  static const char* const kCounts[] = {"", " k", " M", " G", " T"};
  char text[64];
  if (view == QVMetricInfo::DELTA_PERCENT_TIME) {
    std::snprintf(text, sizeof(text), "%.1f %%", value);
    return text;
  }
  const bool rate = view == QVMetricInfo::DELTA_VALUE && elapsedSeconds > 0;
  const double shown = rate ? value / elapsedSeconds : value;
  const char* suffix = rate ? "/s" : "";
  switch (info.units()) {
    case QVMetricInfo::BYTES: return scaled(shown, kBytes, 5, 1024) + suffix;
    case QVMetricInfo::COUNT: return scaled(shown, kCounts, 5, 1000) + suffix;
    case QVMetricInfo::TIME: std::snprintf(text, sizeof(text), "%.2f s%s", shown, suffix); return text;
    default: std::snprintf(text, sizeof(text), "%.2f%s", shown, suffix); return text;
  }
}

std::vector<MetricsTable::Row> MetricsTable::_rows(const QVMetricData& data) {
  std::vector<Row> rows;
  elapsedSeconds_ = static_cast<double>(data.timeRange().length) / 1e9;
  std::map<std::string, QVPropertyMap> current;
  auto add = [&](const std::string& entity, const QVPropertyMap& values, QVMetricInfo::QVMetricType type) {
    current[entity] = values;
    auto before = previous_.find(entity);
    const QVPropertyMap* previous = before == previous_.end() ? nullptr : &before->second;
    for (const auto& info : infos_) {
      if (info->type() != type || !values.hasKey(info->id())) continue;
      const QVMetricInfo::QVMetricView view = info->views().empty() ? QVMetricInfo::VALUE : info->views().front();
      // Machine-wide times add up over all processors; a percentage of the
      // whole machine divides by their number.
      const double divisor = type == QVMetricInfo::SYSTEM ? processorCount_ : 1.0;
      std::optional<double> value = QVMetricDelta::view(*info, view, previous, values, elapsedSeconds_, divisor);
      rows.push_back(Row{entity, info.get(), value.value_or(0), value.has_value()});
    }
  };
  auto ordered = [](const auto& map) {
    std::map<std::string, const QVPropertyMap*> sorted;
    for (const auto& entry : map) sorted[entityText(entry.first)] = &entry.second->metricMap();
    return sorted;
  };
  for (const auto& entry : ordered(data.systemSamples())) add("system", *entry.second, QVMetricInfo::SYSTEM);
  for (const auto& entry : ordered(data.processSamples())) add(entry.first, *entry.second, QVMetricInfo::PROCESS);
  for (const auto& entry : ordered(data.diskSamples())) add(entry.first, *entry.second, QVMetricInfo::DISK);
  for (const auto& entry : ordered(data.networkSamples())) add(entry.first, *entry.second, QVMetricInfo::NETWORK);
  previous_ = std::move(current);
  return rows;
}

std::vector<MetricsTable::Value> MetricsTable::values(const QVMetricData& data) {
  std::vector<Value> values;
  for (const Row& row : _rows(data)) {
    if (!row.known) continue;
    const QVMetricInfo::QVMetricView view = row.info->views().empty() ? QVMetricInfo::VALUE : row.info->views().front();
    values.push_back(Value{row.entity, row.info, view, row.value, elapsedSeconds_});
  }
  return values;
}

void MetricsTable::writeCsvHeader(std::ostream& out) const { out << "seconds,entity,metric,view,value\n"; }

void MetricsTable::writeCsv(std::ostream& out, const QVMetricData& data, uint64_t originNanos) {
  const uint64_t end = data.timeRange().location + data.timeRange().length;
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", static_cast<double>(end - std::min(end, originNanos)) / 1e9);
  for (const Row& row : _rows(data)) {
    if (!row.known) continue;
    const QVMetricInfo::QVMetricView view = row.info->views().empty() ? QVMetricInfo::VALUE : row.info->views().front();
    char value[64];
    // Counts and byte sizes stay exact; times and percentages get microsecond
    // resolution.
    std::snprintf(value, sizeof(value), row.value == std::floor(row.value) && std::fabs(row.value) < 1e15 ? "%.0f" : "%.6f",
                  row.value);
    // Entity texts ("disk vda", "process 42 ...") hold no commas or quotes.
    out << seconds << ',' << row.entity << ',' << row.info->id() << ',' << QVMetricInfo::viewName(view) << ','
        << value << '\n';
  }
}

void MetricsTable::writeScreen(std::ostream& out, const QVMetricData& data, bool clearScreen) {
  const std::vector<Row> rows = _rows(data);
  if (clearScreen) out << "\033[H\033[2J";
  std::size_t entityWidth = 6, nameWidth = 6;
  for (const Row& row : rows) {
    entityWidth = std::max(entityWidth, row.entity.size());
    nameWidth = std::max(nameWidth, row.info->name().size());
  }
  char header[160];
  std::snprintf(header, sizeof(header), "interval %.2f s\n%-*s  %-*s  %14s\n", elapsedSeconds_,
                static_cast<int>(entityWidth), "ENTITY", static_cast<int>(nameWidth), "METRIC", "VALUE");
  out << header;
  for (const Row& row : rows) {
    const QVMetricInfo::QVMetricView view = row.info->views().empty() ? QVMetricInfo::VALUE : row.info->views().front();
    const std::string value = row.known ? humanValue(*row.info, view, row.value, elapsedSeconds_) : "-";
    char line[512];
    std::snprintf(line, sizeof(line), "%-*s  %-*s  %14s\n", static_cast<int>(entityWidth), row.entity.c_str(),
                  static_cast<int>(nameWidth), row.info->name().c_str(), value.c_str());
    out << line;
  }
  out.flush();
}

void MetricsTable::writeSummary(std::ostream& out, const QVSessionDataMetrics& metrics, double processorCount) {
  struct Series {
    const QVMetricInfo* info;
    double minimum, maximum, sum, elapsed;
    std::size_t count;
  };
  // Keyed by entity, then metric id, so that the listing is stable.
  std::map<std::pair<std::string, std::string>, Series> series;
  MetricsTable table(metrics.infos(), processorCount);
  for (const auto& pass : metrics.passes()) {
    for (const Row& row : table._rows(*pass)) {
      if (!row.known) continue;
      auto inserted = series.emplace(std::make_pair(row.entity, row.info->id()),
                                     Series{row.info, row.value, row.value, 0.0, 0.0, 0});
      Series& s = inserted.first->second;
      s.minimum = std::min(s.minimum, row.value);
      s.maximum = std::max(s.maximum, row.value);
      s.sum += row.value;
      s.elapsed += table.elapsedSeconds_;
      ++s.count;
    }
  }
  out << "Metrics:       " << metrics.passes().size() << " passes, every " << metrics.config()->interval << " s\n";
  if (series.empty()) return;
  std::size_t entityWidth = 6, nameWidth = 6;
  for (const auto& entry : series) {
    entityWidth = std::max(entityWidth, entry.first.first.size());
    nameWidth = std::max(nameWidth, entry.second.info->name().size());
  }
  char line[512];
  std::snprintf(line, sizeof(line), "  %-*s  %-*s  %14s  %14s  %14s\n", static_cast<int>(entityWidth), "ENTITY",
                static_cast<int>(nameWidth), "METRIC", "MIN", "MEAN", "MAX");
  out << line;
  for (const auto& entry : series) {
    const Series& s = entry.second;
    const QVMetricInfo::QVMetricView view = s.info->views().empty() ? QVMetricInfo::VALUE : s.info->views().front();
    // Deltas are shown per second over the mean pass length.
    const double seconds = s.count ? s.elapsed / static_cast<double>(s.count) : 0;
    std::snprintf(line, sizeof(line), "  %-*s  %-*s  %14s  %14s  %14s\n", static_cast<int>(entityWidth),
                  entry.first.first.c_str(), static_cast<int>(nameWidth), s.info->name().c_str(),
                  humanValue(*s.info, view, s.minimum, seconds).c_str(),
                  humanValue(*s.info, view, s.sum / static_cast<double>(s.count), seconds).c_str(),
                  humanValue(*s.info, view, s.maximum, seconds).c_str());
    out << line;
  }
}

}  // namespace qvprof
}  // namespace Quorvel
