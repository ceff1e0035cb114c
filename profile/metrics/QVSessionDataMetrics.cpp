#include "metrics/QVSessionDataMetrics.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

void QVSessionDataMetrics::addPasses(const std::vector<std::shared_ptr<QVMetricData>>& passes) {
  passes_.insert(passes_.end(), passes.begin(), passes.end());
}

void QVSessionDataMetrics::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(*config_, "Config");
  archiver->beginList("MetricInfos");
  for (const auto& info : infos_) archiver->encodeObject(*info, "MetricInfo");
  archiver->endList("MetricInfos");
  archiver->beginList("MetricPasses");
  for (const auto& pass : passes_) archiver->encodeObject(*pass, "MetricData");
  archiver->endList("MetricPasses");
}

void QVSessionDataMetrics::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  config_ = std::make_shared<QVMetricSamplerConfig>();
  unarchiver->decodeObject("Config", *config_);
  infos_.clear();
  passes_.clear();
  std::string key;
  unarchiver->enterElement("MetricInfos");
  while (unarchiver->nextKey(key)) {
    auto info = std::make_shared<QVMetricInfo>();
    unarchiver->decodeObject("MetricInfo", *info);
    infos_.push_back(info);
  }
  unarchiver->leaveElement("MetricInfos");
  unarchiver->enterElement("MetricPasses");
  while (unarchiver->nextKey(key)) {
    auto pass = std::make_shared<QVMetricData>();
    unarchiver->decodeObject("MetricData", *pass);
    passes_.push_back(pass);
  }
  unarchiver->leaveElement("MetricPasses");
}

}  // namespace Quorvel
