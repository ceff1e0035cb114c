#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// One line of /proc/modules:
//   name size refcount users state address [(taints)]
// e.g. "nf_conntrack 172032 4 xt_conntrack,nf_nat, Live 0xffffffffc0ab0000 (E)".
// refcount is "-" on kernels built without module unloading; the address is
// 0 when kernel pointers are hidden from the reader.
struct QVProcModuleEntry {
  std::string name;
  uint64_t size = 0;
  int64_t refCount = -1;           // -1 when the kernel prints "-"
  std::vector<std::string> users;  // the modules that use this one
  std::string state;               // "Live", "Loading", "Unloading"
  std::optional<uint64_t> loadAddress;
  std::string taints;  // the text inside the parentheses, empty when none

  bool isLive() const { return state == "Live"; }
  uint64_t end() const { return loadAddress.value_or(0) + size; }
};

// Live modules are kept apart from modules that are being loaded or unloaded:
// the latter have no stable placement, so callers that map addresses skip
// them, while a listing can still show them.
struct QVProcModulesResult {
  std::vector<QVProcModuleEntry> live;
  std::vector<QVProcModuleEntry> transient;
  std::vector<QVProcParseIssue> issues;
};

class QVProcModulesParser {
 public:
  // A live module must carry a "0x" load address, and its end must not wrap.
  static std::optional<QVProcModuleEntry> parseLine(std::string_view line, std::string_view* reason = nullptr);
  static QVProcModulesResult parse(std::string_view text);

  QVProcModulesParser() = delete;
};

}  // namespace Quorvel
