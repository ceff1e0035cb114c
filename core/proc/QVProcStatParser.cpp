#include "proc/QVProcStatParser.h"

#include <limits>

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

std::optional<QVProcCpuTimes> fail(std::string_view* reason, std::string_view why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return std::nullopt;
}

}  // namespace

std::optional<QVProcCpuTimes> QVProcStatParser::parseCpuLine(std::string_view line, std::string_view* reason) {
  QVTextReader reader(line);
  std::string_view label;
  if (!reader.nextField(label) || label.substr(0, 3) != "cpu") {
    return fail(reason, "not a cpu line");
  }
  QVProcCpuTimes times;
  if (label.size() > 3) {
    std::optional<uint64_t> index = QVTextReader::parseUnsigned(label.substr(3));
    if (!index || *index > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
      return fail(reason, "bad processor number");
    }
    times.index = static_cast<int>(*index);
  }
  while (!reader.atEndOfLine()) {
    if (times.fieldCount == QVProcCpuTimes::ColumnCount) {
      // Columns added by kernels newer than this reader carry nothing it uses.
      break;
    }
    std::optional<uint64_t> value = reader.nextUnsigned();
    if (!value) {
      return fail(reason, "bad tick count");
    }
    times.ticks[times.fieldCount++] = *value;
  }
  // user, nice, system and idle have been there since the first kernels that
  // had /proc/stat; fewer is not a line the kernel wrote.
  if (times.fieldCount < 4) {
    return fail(reason, "too few cpu columns");
  }
  return times;
}

QVProcStatInfo QVProcStatParser::parse(std::string_view text) {
  QVProcStatInfo info;
  QVTextReader lines(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  while (lines.nextLine(line)) {
    ++lineNumber;
    QVTextReader reader(line);
    std::string_view label;
    if (!reader.nextField(label)) {
      continue;
    }
    if (label.substr(0, 3) == "cpu") {
      std::string_view reason;
      std::optional<QVProcCpuTimes> times = parseCpuLine(line, &reason);
      if (!times) {
        info.issues.emplace_back(lineNumber, line, reason);
      } else if (times->index < 0) {
        info.total = *times;
      } else {
        info.processors.push_back(*times);
      }
      continue;
    }
    std::optional<uint64_t>* target = nullptr;
    if (label == "btime") {
      target = &info.bootTime;
    } else if (label == "intr") {
      target = &info.interrupts;
    } else if (label == "ctxt") {
      target = &info.contextSwitches;
    } else if (label == "processes") {
      target = &info.forks;
    } else if (label == "procs_running") {
      target = &info.runningTasks;
    } else if (label == "procs_blocked") {
      target = &info.blockedTasks;
    }
    if (target == nullptr) {
      continue;
    }
    std::optional<uint64_t> value = reader.nextUnsigned();
    if (!value) {
      info.issues.emplace_back(lineNumber, line, "bad number");
      continue;
    }
    // "intr" goes on with one count per interrupt line; only the total is
    // kept.
    if (label != "intr" && !reader.atEndOfLine()) {
      info.issues.emplace_back(lineNumber, line, "unexpected text after number");
      continue;
    }
    *target = value;
  }
  return info;
}

}  // namespace Quorvel
