#include "MetricsTable.h"
#include "system/QVMachine.h"
#include "InfoCommand.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <ostream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "config/QVSessionConfig.h"
#include "export/QVContextText.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "RecordingProperties.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"

namespace Quorvel {
namespace qvprof {

namespace {

std::string timeText(const boost::posix_time::ptime& time) {
  if (time.is_special()) return "unknown";
  std::string text = boost::posix_time::to_iso_extended_string(time);
  const size_t t = text.find('T');
  if (t != std::string::npos) text[t] = ' ';
  return text + " UTC";
}

std::string secondsText(double seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

struct ThreadCount {
  QVThreadId threadId;
  uint64_t samples = 0;
};

}  // namespace

Arguments InfoCommand::arguments() const {
  return Arguments(name(),
                   "Describes a session file: its configuration, when it was recorded and for how long,\n"
                   "why the recording stopped, and its processes and threads with their sample counts.",
                   LogOptions::options(), "FILE", 1, 1);
}

void InfoCommand::writeInfo(std::ostream& out, const SessionSamples& session) {
  const std::shared_ptr<QVSessionProfile>& profile = session.profile();
  const QVPropertyMap& properties = profile->properties();

  if (const std::shared_ptr<QVSessionConfig> config = profile->config()) {
    std::string description = config->description();
    // The description is written for dialogs and may end in a line break.
    while (!description.empty() && std::isspace(static_cast<unsigned char>(description.back()))) {
      description.pop_back();
    }
    out << "Configuration: " << description << '\n';
  } else {
    out << "Configuration: none recorded\n";
  }
  const boost::posix_time::ptime begin = profile->beginTime();
  const boost::posix_time::ptime end = profile->endTime();
  out << "Started:       " << timeText(begin) << '\n';
  out << "Ended:         " << timeText(end) << '\n';
  if (!begin.is_special() && !end.is_special()) {
    const boost::posix_time::time_duration span = end - begin;
    out << "Duration:      ";
    // The times come from the file, which may say anything.
    if (span.is_negative()) {
      out << "unknown (the end precedes the start)\n";
    } else {
      out << secondsText(static_cast<double>(span.total_microseconds()) / 1e6) << '\n';
    }
  }
  if (properties.hasKey(RecordingProperties::StopReason)) {
    out << "Stop reason:   " << properties.stringValue(RecordingProperties::StopReason) << '\n';
  }
  if (properties.hasKey(QVSessionProfile::KeyProfileDriverName)) {
    out << "Driver:        " << properties.stringValue(QVSessionProfile::KeyProfileDriverName) << '\n';
  }
  if (properties.hasKey(RecordingProperties::Command)) {
    out << "Command:       " << properties.stringValue(RecordingProperties::Command) << '\n';
  }
  if (!profile->notes().empty()) out << "Notes:         " << profile->notes() << '\n';

  // Native ids order the listing; distinct thread ids that share a native
  // id (a reused tid) stay apart through the id's own order.
  std::map<std::pair<int64_t, QVThreadId>, ThreadCount> threads;
  std::map<std::pair<int64_t, QVProcessId>, uint64_t> processes;
  for (const auto& sample : session.samples()) {
    if (!sample) continue;
    const QVThreadId threadId = sample->context().threadId();
    ThreadCount& count = threads[{threadId.nativeIdentifier(), threadId}];
    count.threadId = threadId;
    ++count.samples;
    const QVProcessId processId = sample->context().asProcessId();
    ++processes[{processId.nativeIdentifier(), processId}];
  }

  out << "Samples:       " << session.samples().size() << " call stacks";
  if (const auto data = profile->threadTenureData()) out << ", " << data->size() << " thread tenures";
  if (const auto data = profile->systemCallData()) out << ", " << data->size() << " system calls";
  out << '\n';

  out << "Processes:     " << processes.size() << '\n';
  for (const auto& entry : processes) {
    char columns[64];
    std::snprintf(columns, sizeof columns, "  pid %-8lld %10llu samples  ", static_cast<long long>(entry.first.first),
                  static_cast<unsigned long long>(entry.second));
    out << columns << QVContextText::processName(entry.first.second);
    const std::string path = QVContextText::processPath(entry.first.second);
    if (!path.empty()) out << " (" << path << ")";
    out << '\n';
  }
  out << "Threads:       " << threads.size() << '\n';
  for (const auto& entry : threads) {
    const QVThreadId& threadId = entry.second.threadId;
    char columns[96];
    std::snprintf(columns, sizeof columns, "  tid %-8lld pid %-8lld %10llu samples  ",
                  static_cast<long long>(entry.first.first),
                  static_cast<long long>(threadId.asProcessId().nativeIdentifier()),
                  static_cast<unsigned long long>(entry.second.samples));
    out << columns << QVContextText::commandName(threadId) << '\n';
  }
}

int InfoCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& /*err*/) {
  const std::string& path = arguments.operands().front();
  const SessionSamples session(path);
  out << "File:          " << path << '\n';
  writeInfo(out, session);
  if (const auto metrics = session.profile()->metricData()) {
    MetricsTable::writeSummary(out, *metrics, static_cast<double>(LocalMachineProcessorCount()));
  }
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
