#include "proc/QVProcCounterParsers.h"

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

// Reads count unsigned fields into targets in order; false at the first one
// missing or malformed.
template <std::size_t N>
bool readUnsigned(QVTextReader& reader, const std::array<uint64_t*, N>& targets) {
  for (uint64_t* target : targets) {
    std::optional<uint64_t> value = reader.nextUnsigned();
    if (!value) {
      return false;
    }
    *target = *value;
  }
  return true;
}

}  // namespace

std::optional<QVProcLoadavg> QVProcCounterParsers::parseLoadavg(std::string_view text, std::string_view* reason) {
  QVTextReader reader(text);
  QVProcLoadavg result;
  for (double& average : result.averages) {
    std::optional<double> value = reader.nextDouble();
    if (!value || *value < 0) {
      if (reason) *reason = "load average is not a non-negative number";
      return std::nullopt;
    }
    average = *value;
  }
  std::optional<std::string_view> tasks = reader.nextField();
  std::size_t slash = tasks ? tasks->find('/') : std::string_view::npos;
  std::optional<uint64_t> runnable, total;
  if (slash != std::string_view::npos) {
    runnable = QVTextReader::parseUnsigned(tasks->substr(0, slash));
    total = QVTextReader::parseUnsigned(tasks->substr(slash + 1));
  }
  std::optional<uint64_t> lastPid = reader.nextUnsigned();
  if (!runnable || !total || !lastPid) {
    if (reason) *reason = "task counts are not \"runnable/total last-pid\"";
    return std::nullopt;
  }
  result.runnable = *runnable;
  result.tasks = *total;
  result.lastPid = *lastPid;
  return result;
}

std::map<std::string, uint64_t> QVProcCounterParsers::parseNameValues(std::string_view text,
                                                                      std::vector<QVProcParseIssue>* issues) {
  std::map<std::string, uint64_t> values;
  QVTextReader reader(text);
  std::size_t lineNumber = 0;
  std::string_view line;
  while (reader.nextLine(line)) {
    ++lineNumber;
    QVTextReader fields(line);
    std::optional<std::string_view> name = fields.nextField();
    if (!name) {
      continue;
    }
    std::optional<uint64_t> value = fields.nextUnsigned();
    if (!value || !fields.atEndOfLine()) {
      if (issues) issues->emplace_back(lineNumber, line, "expected \"name value\"");
      continue;
    }
    values[std::string(*name)] = *value;
  }
  return values;
}

QVProcParseResult<QVProcDiskstat> QVProcCounterParsers::parseDiskstats(std::string_view text) {
  QVProcParseResult<QVProcDiskstat> result;
  QVTextReader reader(text);
  std::size_t lineNumber = 0;
  std::string_view line;
  while (reader.nextLine(line)) {
    ++lineNumber;
    QVTextReader fields(line);
    if (fields.atEndOfLine()) {
      continue;
    }
    QVProcDiskstat stat;
    std::optional<uint64_t> major = fields.nextUnsigned();
    std::optional<uint64_t> minor = fields.nextUnsigned();
    std::optional<std::string_view> name = fields.nextField();
    // Kernels since 4.18 append discard and flush columns; they are not read.
    if (!major || !minor || !name || *major > UINT32_MAX || *minor > UINT32_MAX ||
        !readUnsigned<10>(fields, {&stat.reads, &stat.readsMerged, &stat.sectorsRead, &stat.readMillis, &stat.writes,
                                   &stat.writesMerged, &stat.sectorsWritten, &stat.writeMillis, &stat.inFlight,
                                   &stat.ioMillis})) {
      result.issues.emplace_back(lineNumber, line, "expected \"major minor name\" and ten counters");
      continue;
    }
    stat.major = static_cast<uint32_t>(*major);
    stat.minor = static_cast<uint32_t>(*minor);
    stat.name = std::string(*name);
    result.entries.push_back(std::move(stat));
  }
  return result;
}

QVProcParseResult<QVProcNetDev> QVProcCounterParsers::parseNetDev(std::string_view text) {
  QVProcParseResult<QVProcNetDev> result;
  QVTextReader reader(text);
  std::size_t lineNumber = 0;
  std::string_view line;
  while (reader.nextLine(line)) {
    ++lineNumber;
    if (line.find('|') != std::string_view::npos || QVTextReader::trim(line).empty()) {
      continue;
    }
    // The name ends at the first ':'; a counter may follow it without a
    // blank when it is wide ("eth0:1234567890").
    std::size_t colon = line.find(':');
    std::string_view name = colon == std::string_view::npos ? std::string_view() : QVTextReader::trim(line.substr(0, colon));
    QVProcNetDev dev;
    uint64_t ignored = 0;
    bool complete = false;
    if (!name.empty()) {
      QVTextReader fields(line.substr(colon + 1));
      complete = readUnsigned<16>(fields, {&dev.receiveBytes, &dev.receivePackets, &dev.receiveErrors, &dev.receiveDrops,
                                           &ignored, &ignored, &ignored, &ignored, &dev.sendBytes, &dev.sendPackets,
                                           &dev.sendErrors, &dev.sendDrops, &ignored, &ignored, &ignored, &ignored});
    }
    if (!complete) {
      result.issues.emplace_back(lineNumber, line, "expected \"name:\" and sixteen counters");
      continue;
    }
    dev.name = std::string(name);
    result.entries.push_back(std::move(dev));
  }
  return result;
}

}  // namespace Quorvel
