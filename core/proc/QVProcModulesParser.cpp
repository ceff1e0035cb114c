#include "proc/QVProcModulesParser.h"

#include "proc/QVTextReader.h"

namespace Quorvel {

namespace {

std::optional<QVProcModuleEntry> fail(std::string_view* reason, std::string_view why) {
  if (reason != nullptr) {
    *reason = why;
  }
  return std::nullopt;
}

// "a,b," as the kernel writes it, each user followed by a comma; "-" for none.
std::vector<std::string> splitUsers(std::string_view text) {
  std::vector<std::string> users;
  if (text == "-") {
    return users;
  }
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view user = text.substr(0, comma);
    if (!user.empty()) {
      users.emplace_back(user);
    }
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }
  return users;
}

}  // namespace

std::optional<QVProcModuleEntry> QVProcModulesParser::parseLine(std::string_view line, std::string_view* reason) {
  QVTextReader reader(line);
  QVProcModuleEntry entry;
  std::string_view name;
  if (!reader.nextField(name)) {
    return fail(reason, "empty line");
  }
  entry.name = std::string(name);
  std::optional<uint64_t> size = reader.nextUnsigned();
  if (!size) {
    return fail(reason, "missing or bad size");
  }
  entry.size = *size;

  std::string_view refCount;
  if (!reader.nextField(refCount)) {
    return fail(reason, "missing reference count");
  }
  if (refCount != "-") {
    std::optional<int64_t> count = QVTextReader::parseSigned(refCount);
    if (!count) {
      return fail(reason, "bad reference count");
    }
    entry.refCount = *count;
  }
  std::string_view users;
  if (!reader.nextField(users)) {
    return fail(reason, "missing users");
  }
  entry.users = splitUsers(users);
  std::string_view state;
  if (!reader.nextField(state)) {
    return fail(reason, "missing state");
  }
  entry.state = std::string(state);

  std::string_view address;
  if (reader.nextField(address)) {
    if (address.size() < 3 || address.substr(0, 2) != "0x") {
      return fail(reason, "load address without 0x");
    }
    entry.loadAddress = QVTextReader::parseHex(address);
    if (!entry.loadAddress) {
      return fail(reason, "bad load address");
    }
  }
  std::string_view taints = reader.restOfLine();
  if (!taints.empty()) {
    if (taints.size() < 2 || taints.front() != '(' || taints.back() != ')') {
      return fail(reason, "unexpected text after load address");
    }
    entry.taints = std::string(taints.substr(1, taints.size() - 2));
  }

  if (entry.isLive()) {
    if (!entry.loadAddress) {
      return fail(reason, "live module without load address");
    }
    if (*entry.loadAddress + entry.size < *entry.loadAddress) {
      return fail(reason, "module range wraps around the address space");
    }
  }
  return entry;
}

QVProcModulesResult QVProcModulesParser::parse(std::string_view text) {
  QVProcModulesResult result;
  QVTextReader reader(text);
  std::string_view line;
  std::size_t lineNumber = 0;
  while (reader.nextLine(line)) {
    ++lineNumber;
    if (QVTextReader::trim(line).empty()) {
      continue;
    }
    std::string_view reason;
    std::optional<QVProcModuleEntry> entry = parseLine(line, &reason);
    if (!entry) {
      result.issues.emplace_back(lineNumber, line, reason);
    } else if (entry->isLive()) {
      result.live.push_back(std::move(*entry));
    } else {
      result.transient.push_back(std::move(*entry));
    }
  }
  return result;
}

}  // namespace Quorvel
