#include "metrics/QVMetricSamplerConfig.h"

#include <array>
#include <cstdio>
#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

std::string secondsText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.10f", seconds);
  return text;
}

// The six id lists with their archive keys, in archive order.
template <class Config>
auto idLists(Config& config) {
  using List = decltype(&config.systemMetricIds);
  return std::array<std::pair<const char*, List>, 6>{{{"SystemMetricIds", &config.systemMetricIds},
                                                      {"ProcessMetricIds", &config.processMetricIds},
                                                      {"ThreadMetricIds", &config.threadMetricIds},
                                                      {"ProcessorMetricIds", &config.processorMetricIds},
                                                      {"DiskMetricIds", &config.diskMetricIds},
                                                      {"NetworkMetricIds", &config.networkMetricIds}}};
}

}  // namespace

QVMetricSamplerConfig::QVMetricSamplerConfig(double interval_, double window_)
    : QVConfig("Metric Sampling Config", ""), interval(interval_), window(window_) {}

bool QVMetricSamplerConfig::empty() const {
  for (const auto& list : idLists(*this)) {
    if (!list.second->empty()) {
      return false;
    }
  }
  return true;
}

void QVMetricSamplerConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeString(secondsText(interval), "Interval");
  archiver->encodeString(secondsText(window), "Window");
  for (const auto& list : idLists(*this)) {
    archiver->beginList(list.first);
    for (const std::string& id : *list.second) {
      archiver->encodeString(id, "MetricId");
    }
    archiver->endList(list.first);
  }
}

void QVMetricSamplerConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  interval = unarchiver->decodeDouble("Interval");
  window = unarchiver->decodeDouble("Window");
  for (const auto& list : idLists(*this)) {
    list.second->clear();
    unarchiver->enterElement(list.first);
    std::string key;
    while (unarchiver->nextKey(key)) {
      std::string id;
      unarchiver->decodeString("MetricId", id);
      list.second->push_back(id);
    }
    unarchiver->leaveElement(list.first);
  }
}

void QVMetricSamplerConfig::getDescription(std::ostream& os) const {
  os << "interval: " << interval << " window: " << window << " metrics:";
  for (const auto& list : idLists(*this)) {
    for (const std::string& id : *list.second) {
      os << ' ' << id;
    }
  }
}

bool operator==(const QVMetricSamplerConfig& a, const QVMetricSamplerConfig& b) {
  return a.interval == b.interval && a.window == b.window && a.systemMetricIds == b.systemMetricIds &&
         a.processMetricIds == b.processMetricIds && a.threadMetricIds == b.threadMetricIds &&
         a.processorMetricIds == b.processorMetricIds && a.diskMetricIds == b.diskMetricIds &&
         a.networkMetricIds == b.networkMetricIds;
}

bool operator!=(const QVMetricSamplerConfig& a, const QVMetricSamplerConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVMetricSamplerConfig& config) {
  config.getDescription(os);
  return os;
}

}  // namespace Quorvel
