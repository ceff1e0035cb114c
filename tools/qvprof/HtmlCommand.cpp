#include "HtmlCommand.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "export/QVContextText.h"
#include "export/QVFrameText.h"
#include "htmlreport/QVThreadTimeline.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "MetricsTable.h"
#include "metrics/QVSessionDataMetrics.h"
#include "OutputFile.h"
#include "ReportCommand.h"
#include "SampleFilter.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVAbstractThreadTenure.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

namespace {

// Beside the session, named after it: app.qvprof gives app.html.
std::string defaultOutput(const std::string& sessionPath) {
  const size_t slash = sessionPath.rfind('/');
  const size_t dot = sessionPath.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (hasExtension ? sessionPath.substr(0, dot) : sessionPath) + ".html";
}

std::string plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// What a metric's first view is measured in, as the page labels its axis.
std::pair<double, std::string> metricValue(const MetricsTable::Value& value) {
  if (value.view == QVMetricInfo::DELTA_PERCENT_TIME) return {value.value, "%"};
  const bool rate = value.view == QVMetricInfo::DELTA_VALUE && value.elapsedSeconds > 0;
  const double shown = rate ? value.value / value.elapsedSeconds : value.value;
  std::string unit;
  switch (value.info->units()) {
    case QVMetricInfo::BYTES: unit = "bytes"; break;
    case QVMetricInfo::TIME: unit = "s"; break;
    case QVMetricInfo::PERCENT: unit = "%"; break;
    case QVMetricInfo::COUNT: unit = rate ? "" : "count"; break;
    default: break;
  }
  if (rate) unit += "/s";
  return {shown, unit};
}

}  // namespace

Arguments HtmlCommand::arguments() const {
  std::vector<Option> options = {
      {"output", 'o', "FILE", "the page to write (default: the session's name with .html)"},
      {"granularity", 0, "KIND", "merge frames by address, symbol (default), module, file or line"},
      {"title", 0, "TEXT", "the page's title (default: the session file's name)"},
  };
  for (const Option& option : SampleFilter::options()) options.push_back(option);
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Writes a session as one self-contained HTML page that opens in any browser, also\n"
                      "offline: an interactive flame graph (hover for numbers, click to zoom, search to\n"
                      "highlight), the heaviest functions as a sortable table, each thread's samples\n"
                      "and scheduling over time, and the recorded metrics as plots.",
                      options, "FILE", 1, 1);
  arguments.setNotes(
      "The call tree is merged before it is embedded, so the page stays small and quick\n"
      "for sessions of millions of samples; call paths under 0.001% of the samples are\n"
      "left out of the flame graph (their time stays in their callers' totals).");
  return arguments;
}

QVFlameGraph::Label HtmlCommand::frameLabel(const QVCallTreeNode& node, QVCallTree::Granularity granularity) {
  const QVAbstractCallFrame* frame = node.templateCallFrame();
  if (!frame) return {QVFrameText::Unknown, QVFrameText::Unknown};
  const std::string module = QVFrameText::moduleName(*frame);
  if (granularity == QVCallTree::symbol) {
    const std::string symbol = QVFrameText::symbolName(*frame);
    // Unknown frames merge by address, and the address tells them apart.
    return {symbol != QVFrameText::Unknown ? symbol : symbol + " 0x" + QVFrameText::hex(frame->address()), module};
  }
  if (granularity == QVCallTree::address) {
    return {"0x" + QVFrameText::hex(frame->address()) + " " + QVFrameText::symbolWithOffset(*frame), module};
  }
  return {ReportCommand::nodeLabel(node, granularity), module};
}

std::unique_ptr<QVHtmlReport> HtmlCommand::buildReport(const SessionSamples& session, const Options& options) {
  const std::shared_ptr<QVSessionProfile>& profile = session.profile();
  QVCallTree::TenureList selected;
  std::set<int64_t> threads;
  std::set<int64_t> processes;
  uint64_t first = std::numeric_limits<uint64_t>::max();
  uint64_t last = 0;
  auto span = [&](uint64_t begin, uint64_t end) {
    first = std::min(first, begin);
    last = std::max(last, end);
  };
  for (const auto& sample : session.samples()) {
    if (!sample || !options.filter.accepts(sample->context())) continue;
    selected.push_back(sample);
    threads.insert(sample->context().threadId().nativeIdentifier());
    processes.insert(sample->context().asProcessId().nativeIdentifier());
    span(sample->beginTick(), sample->endTick());
  }
  std::vector<std::shared_ptr<QVAbstractThreadTenure>> running;
  if (const auto data = profile ? profile->threadTenureData() : nullptr) {
    for (const auto& tenure : data->samples()) {
      if (!tenure || !options.filter.accepts(tenure->context())) continue;
      running.push_back(tenure);
      span(tenure->beginTick(), tenure->endTick());
    }
  }
  std::vector<std::shared_ptr<QVAbstractSystemCallTenure>> calls;
  if (const auto data = profile ? profile->systemCallData() : nullptr) {
    for (const auto& tenure : data->samples()) {
      if (!tenure || !options.filter.accepts(tenure->context())) continue;
      calls.push_back(tenure);
      span(tenure->beginTick(), tenure->endTick());
    }
  }
  if (selected.empty() && running.empty() && calls.empty()) return nullptr;

  auto report = std::make_unique<QVHtmlReport>(options.title);
  if (!selected.empty()) {
    const QVCallTree tree(selected, QVCallTree::tree, options.granularity);
    const QVCallTree::Granularity granularity = options.granularity;
    report->setFlameGraph(QVFlameGraph::fromCallTree(
        *tree.rootNode(), [granularity](const QVCallTreeNode& node) { return frameLabel(node, granularity); },
        options.minimumShare));
  }

  if (profile && !profile->beginTime().is_not_a_date_time()) {
    report->addFact("Recorded", boost::posix_time::to_simple_string(profile->beginTime()) + " UTC");
    if (!profile->endTime().is_not_a_date_time() && profile->endTime() >= profile->beginTime()) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.3f s",
                    static_cast<double>((profile->endTime() - profile->beginTime()).total_microseconds()) / 1e6);
      report->addFact("Duration", seconds);
    }
  }
  if (profile && profile->properties().hasKey(QVSessionProfile::KeyProfileDriverName)) {
    report->addFact("Driver", profile->properties().stringValue(QVSessionProfile::KeyProfileDriverName));
  }
  report->addFact("Samples", plural(selected.size(), "call stack", "call stacks") + " of " +
                                 plural(threads.size(), "thread", "threads") + " in " +
                                 plural(processes.size(), "process", "processes"));
  if (!running.empty()) report->addFact("Thread tenures", std::to_string(running.size()));
  if (!calls.empty()) report->addFact("System calls", std::to_string(calls.size()));
  report->addFact("Merged by", QVCallTree::granularityToString(options.granularity));
  if ((options.filter.processId >= 0 || options.filter.threadId >= 0)) report->addFact("Only", options.filter.description().substr(1));
  if (report->flameGraph().omitted() > 0) {
    char share[32];
    std::snprintf(share, sizeof share, "%g%%", options.minimumShare * 100);
    report->addFact("Left out", plural(report->flameGraph().omitted(), "call path", "call paths") + " under " + share +
                                    " of the samples");
  }

  auto timeline = std::make_shared<QVThreadTimeline>(first, last, options.timelineBuckets);
  std::map<int64_t, QVThreadId> labelled;
  auto label = [&](const QVContext& context) {
    const int64_t tid = context.threadId().nativeIdentifier();
    if (labelled.emplace(tid, context.threadId()).second) {
      timeline->setLabel(tid, QVContextText::commandName(context.threadId()) + " (" +
                                  std::to_string(context.asProcessId().nativeIdentifier()) + "/" +
                                  std::to_string(tid) + ")");
    }
    return tid;
  };
  for (const auto& sample : selected) timeline->addSample(label(sample->context()), sample->endTick());
  for (const auto& tenure : running) timeline->addRunning(label(tenure->context()), tenure->beginTick(), tenure->endTick());
  for (const auto& tenure : calls) timeline->addSystemCall(label(tenure->context()), tenure->beginTick(), tenure->endTick());
  report->setTimeline(timeline);

  if (const auto metrics = profile ? profile->metricData() : nullptr) {
    MetricsTable table(metrics->infos(), static_cast<double>(LocalMachineProcessorCount()));
    std::map<std::pair<std::string, std::string>, QVHtmlReport::MetricSeries> series;
    const uint64_t origin = metrics->passes().empty() ? 0 : metrics->passes().front()->timeRange().location;
    for (const auto& pass : metrics->passes()) {
      if (!pass) continue;
      const uint64_t end = pass->timeRange().location + pass->timeRange().length;
      const double at = static_cast<double>(end - std::min(end, origin)) / 1e9;
      for (const MetricsTable::Value& value : table.values(*pass)) {
        QVHtmlReport::MetricSeries& entry = series[{value.entity, value.info->id()}];
        const auto shown = metricValue(value);
        if (entry.points.empty()) {
          entry.entity = value.entity;
          entry.metric = value.info->name();
          entry.unit = shown.second;
        }
        entry.points.emplace_back(at, shown.first);
      }
    }
    for (auto& entry : series) report->addMetricSeries(std::move(entry.second));
  }
  return report;
}

int HtmlCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  Options options;
  options.granularity = QVCallTree::granularityFromString(
      arguments.choice("granularity", {"address", "symbol", "module", "file", "line"}, "symbol"));
  options.filter = SampleFilter::fromArguments(arguments);
  const std::string& path = arguments.operands().front();
  options.title = arguments.value("title", PathBaseName(path));
  const std::string output = arguments.value("output", defaultOutput(path));
  if (output.empty()) throw UsageError(name(), "--output: the file name is empty");
  // Opened before the long work, so that an unusable path is said at once;
  // nothing replaces the target unless the page is complete.
  OutputFile file(output, out);

  const SessionSamples session(path);
  const std::unique_ptr<QVHtmlReport> report = buildReport(session, options);
  if (!report) {
    if (options.filter.processId >= 0 || options.filter.threadId >= 0) {
      err << "qvprof: nothing in " << path << " matches" << options.filter.description() << '\n';
    } else {
      err << "qvprof: " << path << " holds no samples or tenures\n";
    }
    return ExitFailure;
  }
  std::ostringstream page;
  report->write(page);
  file.stream() << page.str();
  file.commit();
  if (file.isFile()) out << "Wrote " << output << " (" << (page.str().size() + 1023) / 1024 << " KiB)\n";
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
