#include "proc/QVProcKallsymsParser.h"

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

std::optional<QVProcKallsymsEntry> fail(std::string_view* reason, std::string_view why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return std::nullopt;
}

}  // namespace

std::optional<QVProcKallsymsEntry> QVProcKallsymsParser::parseLine(std::string_view line, std::string_view* reason) {
  if (line.size() > kMaximumLineLength) {
    return fail(reason, "line too long");
  }
  QVTextReader reader(line);
  QVProcKallsymsEntry entry;
  std::string_view address;
  if (!reader.nextField(address)) {
    return fail(reason, "empty line");
  }
  std::optional<uint64_t> value = QVTextReader::parseUnsigned(address, 16);
  if (!value) {
    return fail(reason, "bad address");
  }
  entry.address = *value;
  std::string_view type;
  if (!reader.nextField(type) || type.size() != 1) {
    return fail(reason, "bad symbol type");
  }
  entry.type = type[0];
  if (!reader.nextField(entry.name)) {
    return fail(reason, "missing name");
  }
  std::string_view module;
  if (reader.nextField(module)) {
    if (module.size() < 3 || module.front() != '[' || module.back() != ']') {
      return fail(reason, "bad module name");
    }
    entry.module = module.substr(1, module.size() - 2);
    if (!reader.atEndOfLine()) {
      return fail(reason, "unexpected text after module name");
    }
  }
  return entry;
}

std::size_t QVProcKallsymsParser::forEach(std::string_view text,
                                          const std::function<void(const QVProcKallsymsEntry&)>& visit,
                                          std::vector<QVProcParseIssue>* issues) {
  QVTextReader reader(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  std::size_t visited = 0;
  while (reader.nextLine(line)) {
    ++lineNumber;
    std::string_view reason;
    std::optional<QVProcKallsymsEntry> entry = parseLine(line, &reason);
    if (entry) {
      visit(*entry);
      ++visited;
    } else if (issues != nullptr && !QVTextReader::trim(line).empty()) {
      issues->emplace_back(lineNumber, line, reason);
    }
  }
  return visited;
}

QVProcParseResult<QVProcKallsymsRecord> QVProcKallsymsParser::parse(std::string_view text) {
  QVProcParseResult<QVProcKallsymsRecord> result;
  forEach(
      text,
      [&result](const QVProcKallsymsEntry& entry) {
        result.entries.push_back({entry.address, entry.type, std::string(entry.name), std::string(entry.module)});
      },
      &result.issues);
  return result;
}

}  // namespace Quorvel
