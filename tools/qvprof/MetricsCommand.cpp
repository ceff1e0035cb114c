#include "MetricsCommand.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <unordered_set>

#include "Linux/metrics/QVMetricSamplerLinux.h"
#include "LogOptions.h"
#include "MetricsTable.h"
#include "SessionSamples.h"
#include "session/QVSessionProfile.h"
#include "StopSignal.h"
#include "UsageError.h"
#include "proc/QVTaskInfoLinux.h"
#include "system/QVMachine.h"
#include "time/QVTime.h"

namespace Quorvel {
namespace qvprof {

namespace {

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

QVMetricSampler::InfoList offeredInfos(const QVMetricSampler& sampler) {
  QVMetricSampler::InfoList all;
  for (auto list : {sampler.systemMetricInfos(), sampler.processMetricInfos(), sampler.diskMetricInfos(),
                    sampler.networkMetricInfos()}) {
    all.insert(all.end(), list.begin(), list.end());
  }
  return all;
}

void writeList(std::ostream& out, const QVMetricSampler::InfoList& infos) {
  std::size_t idWidth = 0;
  for (const auto& info : infos) idWidth = std::max(idWidth, info->id().size());
  for (const auto& info : infos) {
    out << info->id() << std::string(idWidth - info->id().size() + 2, ' ') << info->group() << " / "
        << QVMetricInfo::unitsName(info->units()) << ": " << info->description() << '\n';
  }
}

}  // namespace

Arguments MetricsCommand::arguments() const {
  std::vector<Option> options = {
      {"interval", 'i', "SECONDS", "time between passes (default 1, at least 0.1)"},
      {"count", 'n', "N", "stop after N passes (default: until Ctrl-C)"},
      {"pid", 'p', "PID[,PID...]", "also show the process metrics of these processes"},
      {"metrics", 'm', "ID[,ID...]", "only these metric ids (see --list)"},
      {"csv", 0, "", "write CSV even on a terminal"},
      {"list", 'l', "", "list every metric id with its group, units and description"},
      {"from", 0, "SESSION", "print the metrics a 'qvprof record --metrics' session holds, as CSV"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Samples the machine's CPU time, memory, paging, disk and network traffic (and\n"
                      "the given processes) and shows the change over each interval. On a terminal\n"
                      "the screen is redrawn every pass; otherwise one CSV row per value is written:\n"
                      "seconds,entity,metric,view,value.",
                      options);
  return arguments;
}

int MetricsCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  auto sampler = std::make_shared<QVMetricSamplerLinux>();
  const QVMetricSampler::InfoList offered = offeredInfos(*sampler);
  if (arguments.has("list")) {
    writeList(out, offered);
    return out ? ExitSuccess : ExitFailure;
  }

  if (arguments.has("from")) {
    const SessionSamples session(arguments.value("from"));
    const auto metrics = session.profile()->metricData();
    if (!metrics) throw std::runtime_error(arguments.value("from") + ": the session holds no metrics");
    MetricsTable table(metrics->infos(), static_cast<double>(LocalMachineProcessorCount()));
    table.writeCsvHeader(out);
    const uint64_t origin = metrics->passes().empty() ? 0 : metrics->passes().front()->timeRange().location;
    for (const auto& pass : metrics->passes()) table.writeCsv(out, *pass, origin);
    return out ? ExitSuccess : ExitFailure;
  }

  const double interval = arguments.positiveNumber("interval", 1.0);
  if (interval < 0.1) throw UsageError(name(), "--interval must be at least 0.1 seconds");
  const uint64_t count = arguments.integer("count", 0, 1, 1000000000);

  std::unordered_set<QVProcessId> processes;
  for (const std::string& text : splitList(arguments.value("pid"))) {
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || pid <= 0) throw UsageError(name(), "--pid: '" + text + "' is not a pid");
    const QVProcessId id = QVProcessIdFromNativeIdentifier(static_cast<int>(pid));
    if (!id.isValid()) throw std::runtime_error("no process with pid " + text);
    processes.insert(id);
  }

  auto config = std::make_shared<QVMetricSamplerConfig>(interval, QVMetricSamplerConfig::kDefaultWindow);
  std::vector<std::shared_ptr<QVMetricInfo>> shown;
  const std::vector<std::string> wanted = splitList(arguments.value("metrics"));
  for (const auto& info : offered) {
    const bool chosen = wanted.empty() ? info->type() != QVMetricInfo::PROCESS || !processes.empty()
                                       : std::find(wanted.begin(), wanted.end(), info->id()) != wanted.end();
    if (!chosen) continue;
    shown.push_back(info);
    switch (info->type()) {
      case QVMetricInfo::SYSTEM: config->systemMetricIds.push_back(info->id()); break;
      case QVMetricInfo::PROCESS: config->processMetricIds.push_back(info->id()); break;
      case QVMetricInfo::DISK: config->diskMetricIds.push_back(info->id()); break;
      case QVMetricInfo::NETWORK: config->networkMetricIds.push_back(info->id()); break;
      default: break;
    }
  }
  for (const std::string& id : wanted) {
    if (std::none_of(offered.begin(), offered.end(), [&id](const auto& info) { return info->id() == id; })) {
      throw UsageError(name(), "--metrics: unknown metric id '" + id + "' (see qvprof metrics --list)");
    }
  }
  if (!config->processMetricIds.empty() && processes.empty()) {
    throw UsageError(name(), "--metrics: process metrics need --pid");
  }
  sampler->setTargetProcesses(processes);
  if (!sampler->setConfig(config)) throw std::runtime_error("the metric sampler refused its configuration");

  const bool terminal = &out == &std::cout && ::isatty(STDOUT_FILENO) && !arguments.has("csv");
  MetricsTable table(shown, static_cast<double>(LocalMachineProcessorCount()));
  StopSignal stop;
  if (!sampler->start()) throw std::runtime_error("cannot start metric sampling");
  const uint64_t origin = TimeNanos();
  if (!terminal) table.writeCsvHeader(out);
  // The pass taken at start is the baseline of the first interval and is
  // not shown itself.
  bool baseline = true;
  uint64_t printed = 0;
  QVMetricSampler::DataList batch;
  while (!stop.requested() && (count == 0 || printed < count)) {
    if (stop.wait(0.05)) break;
    if (!sampler->waitForData(batch, false, 0.001)) continue;
    for (const auto& data : batch) {
      if (baseline) {
        baseline = false;
        std::ostringstream ignored;
        table.writeCsv(ignored, *data, origin);
        continue;
      }
      if (count != 0 && printed >= count) break;
      if (terminal) {
        table.writeScreen(out, *data, true);
      } else {
        table.writeCsv(out, *data, origin);
      }
      ++printed;
    }
    out.flush();
  }
  sampler->stop();
  (void)err;
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
