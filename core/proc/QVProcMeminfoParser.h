#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// /proc/meminfo: "Name:   value [kB]" lines. Values with the kB unit are
// stored in bytes; unit-less values (the HugePages_ counts) as they stand.
struct QVProcMeminfo {
  std::map<std::string, uint64_t> values;
  std::vector<QVProcParseIssue> issues;

  std::optional<uint64_t> value(const std::string& name) const {
    auto found = values.find(name);
    if (found == values.end()) {
      return std::nullopt;
    }
    return found->second;
  }
  uint64_t valueOrZero(const std::string& name) const { return value(name).value_or(0); }
};

class QVProcMeminfoParser {
 public:
  static QVProcMeminfo parse(std::string_view text);

  QVProcMeminfoParser() = delete;
};

}  // namespace Quorvel
