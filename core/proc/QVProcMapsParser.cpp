#include "proc/QVProcMapsParser.h"

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

bool validPermissions(std::string_view permissions) {
  return permissions.size() == 4 && (permissions[0] == 'r' || permissions[0] == '-') &&
         (permissions[1] == 'w' || permissions[1] == '-') && (permissions[2] == 'x' || permissions[2] == '-') &&
         (permissions[3] == 'p' || permissions[3] == 's');
}

bool validDevice(std::string_view device) {
  std::size_t colon = device.find(':');
  if (colon == std::string_view::npos) {
    return false;
  }
  return QVTextReader::parseHex(device.substr(0, colon)).has_value() &&
         QVTextReader::parseHex(device.substr(colon + 1)).has_value();
}

std::optional<QVProcMapsEntry> fail(std::string_view* reason, std::string_view why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return std::nullopt;
}

}  // namespace

std::string_view QVProcMapsEntry::path() const {
  std::size_t slash = name.find('/');
  if (slash == std::string::npos) {
    return std::string_view();
  }
  return std::string_view(name).substr(slash);
}

std::optional<QVProcMapsEntry> QVProcMapsParser::parseLine(std::string_view line, std::string_view* reason) {
  QVTextReader reader(line);
  std::string_view range;
  if (!reader.nextField(range)) {
    return fail(reason, "empty line");
  }
  std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) {
    return fail(reason, "address range without '-'");
  }
  std::optional<uint64_t> start = QVTextReader::parseUnsigned(range.substr(0, dash), 16);
  std::optional<uint64_t> end = QVTextReader::parseUnsigned(range.substr(dash + 1), 16);
  if (!start || !end) {
    return fail(reason, "bad address range");
  }
  std::string_view permissions;
  if (!reader.nextField(permissions) || !validPermissions(permissions)) {
    return fail(reason, "bad permissions");
  }
  std::optional<uint64_t> offset = reader.nextHex();
  if (!offset) {
    return fail(reason, "bad file offset");
  }
  std::string_view device;
  if (!reader.nextField(device) || !validDevice(device)) {
    return fail(reason, "bad device");
  }
  std::optional<uint64_t> inode = reader.nextUnsigned();
  if (!inode) {
    return fail(reason, "bad inode");
  }

  QVProcMapsEntry entry;
  entry.start = *start;
  entry.end = *end;
  entry.permissions = std::string(permissions);
  entry.offset = *offset;
  entry.device = std::string(device);
  entry.inode = *inode;
  std::string_view name = reader.restOfLine();
  if (name.size() >= kDeletedSuffix.size() && name.substr(name.size() - kDeletedSuffix.size()) == kDeletedSuffix) {
    name.remove_suffix(kDeletedSuffix.size());
    entry.deleted = true;
  }
  entry.name = std::string(name);
  return entry;
}

QVProcParseResult<QVProcMapsEntry> QVProcMapsParser::parse(std::string_view text) {
  QVProcParseResult<QVProcMapsEntry> result;
  QVTextReader reader(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  while (reader.nextLine(line)) {
    ++lineNumber;
    if (QVTextReader::trim(line).empty()) {
      continue;
    }
    std::string_view reason;
    std::optional<QVProcMapsEntry> entry = parseLine(line, &reason);
    if (entry) {
      result.entries.push_back(std::move(*entry));
    } else {
      result.issues.emplace_back(lineNumber, line, reason);
    }
  }
  return result;
}

}  // namespace Quorvel
