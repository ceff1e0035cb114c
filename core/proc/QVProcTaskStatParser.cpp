#include "proc/QVProcTaskStatParser.h"

#include <limits>

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

std::optional<QVProcTaskStat> fail(std::string_view* reason, std::string_view why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return std::nullopt;
}

std::optional<int> toInt(std::optional<int64_t> value) {
  if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

}  // namespace

std::optional<QVProcTaskStat> QVProcTaskStatParser::parse(std::string_view text, std::string_view* reason) {
  std::size_t open = text.find('(');
  std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return fail(reason, "no command name in parentheses");
  }
  QVProcTaskStat stat;
  std::optional<int> pid = toInt(QVTextReader::parseSigned(QVTextReader::trim(text.substr(0, open))));
  if (!pid || *pid < 0) {
    return fail(reason, "bad pid");
  }
  stat.pid = *pid;
  stat.command = std::string(text.substr(open + 1, close - open - 1));

  // After the name everything is on one line of numbers (the state letter
  // aside); only the first line is the kernel's.
  std::string_view rest = text.substr(close + 1);
  rest = rest.substr(0, rest.find('\n'));
  QVTextReader reader(rest);
  std::string_view state;
  if (!reader.nextField(state) || state.size() != 1) {
    return fail(reason, "bad state");
  }
  stat.state = state[0];

  // Fields 4 to 22, then the optional 23 and 24. A field that is present
  // but not a number makes the whole record unusable: the positions of the
  // fields after it cannot be trusted.
  std::optional<int64_t> signedFields[22 + 1];
  std::optional<uint64_t> unsignedFields[24 + 1];
  for (int field = 4; field <= 24; ++field) {
    std::string_view value;
    if (!reader.nextField(value)) {
      if (field <= 22) {
        return fail(reason, "too few fields");
      }
      break;
    }
    bool isSigned = field <= 8 || (field >= 16 && field <= 21);
    if (isSigned) {
      signedFields[field] = QVTextReader::parseSigned(value);
      if (!signedFields[field]) {
        return fail(reason, "bad number");
      }
    } else {
      unsignedFields[field] = QVTextReader::parseUnsigned(value);
      if (!unsignedFields[field]) {
        return fail(reason, "bad number");
      }
    }
  }
  std::optional<int> ppid = toInt(signedFields[4]);
  std::optional<int> processGroup = toInt(signedFields[5]);
  std::optional<int> session = toInt(signedFields[6]);
  if (!ppid || !processGroup || !session) {
    return fail(reason, "process number out of range");
  }
  stat.ppid = *ppid;
  stat.processGroup = *processGroup;
  stat.session = *session;
  stat.minorFaults = *unsignedFields[10];
  stat.majorFaults = *unsignedFields[12];
  stat.userTicks = *unsignedFields[14];
  stat.systemTicks = *unsignedFields[15];
  stat.priority = *signedFields[18];
  stat.nice = *signedFields[19];
  stat.threadCount = *signedFields[20];
  stat.startTicks = *unsignedFields[22];
  stat.virtualSize = unsignedFields[23].value_or(0);
  stat.residentPages = unsignedFields[24].value_or(0);
  return stat;
}

}  // namespace Quorvel
