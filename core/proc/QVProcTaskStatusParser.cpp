#include "proc/QVProcTaskStatusParser.h"

#include <limits>

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

enum class Kind { Count, Kilobytes };

struct Field {
  std::string_view name;
  Kind kind;
  uint64_t QVProcTaskStatus::*target;
};

const Field kFields[] = {
    {"Tgid", Kind::Count, &QVProcTaskStatus::tgid},
    {"Pid", Kind::Count, &QVProcTaskStatus::pid},
    {"PPid", Kind::Count, &QVProcTaskStatus::ppid},
    {"TracerPid", Kind::Count, &QVProcTaskStatus::tracerPid},
    {"VmPeak", Kind::Kilobytes, &QVProcTaskStatus::vmPeak},
    {"VmSize", Kind::Kilobytes, &QVProcTaskStatus::vmSize},
    {"VmLck", Kind::Kilobytes, &QVProcTaskStatus::vmLck},
    {"VmPin", Kind::Kilobytes, &QVProcTaskStatus::vmPin},
    {"VmHWM", Kind::Kilobytes, &QVProcTaskStatus::vmHWM},
    {"VmRSS", Kind::Kilobytes, &QVProcTaskStatus::vmRSS},
    {"VmData", Kind::Kilobytes, &QVProcTaskStatus::vmData},
    {"VmStk", Kind::Kilobytes, &QVProcTaskStatus::vmStk},
    {"VmExe", Kind::Kilobytes, &QVProcTaskStatus::vmExe},
    {"VmLib", Kind::Kilobytes, &QVProcTaskStatus::vmLib},
    {"VmPTE", Kind::Kilobytes, &QVProcTaskStatus::vmPTE},
    {"VmSwap", Kind::Kilobytes, &QVProcTaskStatus::vmSwap},
    {"voluntary_ctxt_switches", Kind::Count, &QVProcTaskStatus::voluntaryContextSwitches},
    {"nonvoluntary_ctxt_switches", Kind::Count, &QVProcTaskStatus::nonvoluntaryContextSwitches},
};

// "Uid:" and "Gid:" list real, effective, saved and filesystem ids; the
// first is the real one.
std::optional<uint32_t> parseRealId(QVTextReader& reader) {
  std::optional<uint64_t> value = reader.nextUnsigned();
  if (!value || *value > std::numeric_limits<uint32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<uint32_t>(*value);
}

}  // namespace

QVProcTaskStatus QVProcTaskStatusParser::parse(std::string_view text) {
  QVProcTaskStatus status;
  QVTextReader lines(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  while (lines.nextLine(line)) {
    ++lineNumber;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    std::string_view name = line.substr(0, colon);
    QVTextReader reader(line.substr(colon + 1));

    if (name == "Name") {
      status.name = std::string(QVTextReader::trim(line.substr(colon + 1)));
      continue;
    }
    if (name == "State") {
      std::string_view state;
      if (reader.nextField(state) && state.size() == 1) {
        status.state = state[0];
      } else {
        status.issues.emplace_back(lineNumber, line, "bad state");
      }
      continue;
    }
    if (name == "Uid" || name == "Gid") {
      std::optional<uint32_t> id = parseRealId(reader);
      if (!id) {
        status.issues.emplace_back(lineNumber, line, "bad id");
      } else if (name == "Uid") {
        status.realUid = id;
      } else {
        status.realGid = id;
      }
      continue;
    }
    if (name == "Umask") {
      std::optional<std::string_view> digits = reader.nextField();
      std::optional<uint64_t> mask = digits ? QVTextReader::parseUnsigned(*digits, 8) : std::nullopt;
      if (!mask || *mask > 07777 || !reader.atEndOfLine()) {
        status.issues.emplace_back(lineNumber, line, "bad umask");
      } else {
        status.umask = static_cast<uint32_t>(*mask);
      }
      continue;
    }
    if (name == "Threads") {
      std::optional<int64_t> threads = reader.nextSigned();
      if (!threads || *threads < 0 || *threads > std::numeric_limits<int32_t>::max()) {
        status.issues.emplace_back(lineNumber, line, "bad thread count");
      } else {
        status.threads = static_cast<int32_t>(*threads);
      }
      continue;
    }
    for (const Field& field : kFields) {
      if (field.name != name) {
        continue;
      }
      std::optional<uint64_t> value = reader.nextUnsigned();
      if (value && field.kind == Kind::Kilobytes) {
        std::optional<std::string_view> unit = reader.nextField();
        if (!unit || *unit != "kB" || *value > std::numeric_limits<uint64_t>::max() / 1024) {
          value.reset();
        } else {
          *value *= 1024;
        }
      }
      if (value && reader.atEndOfLine()) {
        status.*field.target = *value;
      } else {
        status.issues.emplace_back(lineNumber, line, "bad value");
      }
      break;
    }
  }
  return status;
}

}  // namespace Quorvel
