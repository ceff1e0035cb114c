#include "RecordMetrics.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "Linux/metrics/QVMetricSamplerLinux.h"
#include "UsageError.h"
#include "proc/QVTaskInfoLinux.h"

namespace Quorvel {
namespace qvprof {

std::vector<Option> RecordMetrics::options() {
  return {
      {"metrics", 0, "", "also sample system, target-process, disk and network metrics into the session"},
      {"metric-ids", 0, "ID[,ID...]", "with --metrics: only these metric ids (see qvprof metrics --list)"},
      {"metric-interval", 0, "SECONDS", "with --metrics: time between metric passes (default 1)"},
  };
}

RecordMetrics::Request RecordMetrics::requestFrom(const Arguments& arguments) {
  Request request;
  if (!arguments.has("metrics")) {
    if (arguments.has("metric-ids") || arguments.has("metric-interval")) {
      throw UsageError("record", "--metric-ids and --metric-interval need --metrics");
    }
    return request;
  }
  request.enabled = true;
  request.interval = arguments.positiveNumber("metric-interval", 1.0);
  if (request.interval < 0.1) throw UsageError("record", "--metric-interval must be at least 0.1 seconds");
  std::stringstream list(arguments.value("metric-ids"));
  for (std::string id; std::getline(list, id, ',');) {
    if (!id.empty()) request.ids.push_back(id);
  }
  return request;
}

RecordMetrics::RecordMetrics(const Request& request, pid_t target) {
  if (!request.enabled) return;
  const double interval = request.interval;
  const std::vector<std::string>& wanted = request.ids;

  sampler_ = std::make_shared<QVMetricSamplerLinux>();
  // A week of passes: the ring then never drops one of a recording, and it
  // only grows with the passes actually taken.
  constexpr double kRecordingWindow = 7 * 24 * 3600.0;
  auto config = std::make_shared<QVMetricSamplerConfig>(interval, kRecordingWindow);
  std::vector<std::shared_ptr<QVMetricInfo>> infos;
  for (auto kind : {sampler_->systemMetricInfos(), sampler_->processMetricInfos(), sampler_->diskMetricInfos(),
                    sampler_->networkMetricInfos()}) {
    for (const auto& info : kind) {
      if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), info->id()) == wanted.end()) continue;
      infos.push_back(info);
      switch (info->type()) {
        case QVMetricInfo::SYSTEM: config->systemMetricIds.push_back(info->id()); break;
        case QVMetricInfo::PROCESS: config->processMetricIds.push_back(info->id()); break;
        case QVMetricInfo::DISK: config->diskMetricIds.push_back(info->id()); break;
        case QVMetricInfo::NETWORK: config->networkMetricIds.push_back(info->id()); break;
        default: break;
      }
    }
  }
  for (const std::string& id : wanted) {
    if (std::none_of(infos.begin(), infos.end(), [&id](const auto& info) { return info->id() == id; })) {
      throw UsageError("record", "--metric-ids: unknown metric id '" + id + "' (see qvprof metrics --list)");
    }
  }
  // Only the recorded process: every process of the machine would swamp
  // the session.
  const QVProcessId process = QVProcessIdFromNativeIdentifier(static_cast<int>(target));
  sampler_->setTargetProcesses({process});
  if (!process.isValid()) config->processMetricIds.clear();
  if (!sampler_->setConfig(config) || !sampler_->start()) {
    throw std::runtime_error("cannot start metric sampling");
  }
  data_ = std::make_shared<QVSessionDataMetrics>();
  data_->setConfig(config);
  data_->setInfos(infos);
}

RecordMetrics::~RecordMetrics() {
  if (sampler_) sampler_->stop();
}

std::shared_ptr<QVSessionDataMetrics> RecordMetrics::finish() {
  if (!sampler_) return nullptr;
  QVMetricSampler::DataList passes;
  // The stretch since the last timer pass is the end of the recording; a
  // recording shorter than one interval would otherwise keep only its
  // baseline pass and no change at all.
  sampler_->stopWithFinalPass();
  sampler_->waitForData(passes, false, 0.001);
  data_->addPasses(passes);
  sampler_.reset();
  return data_;
}

}  // namespace qvprof
}  // namespace Quorvel
