#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// One line of /proc/kallsyms: "address type name [module]", e.g.
//   "ffffffff81000000 T _stext" or
//   "ffffffffc0201000 t ftrace_trampoline\t[__builtin__ftrace]".
// The views point into the parsed text; module has its brackets removed and
// is empty for a symbol of the kernel image.
struct QVProcKallsymsEntry {
  uint64_t address = 0;
  char type = '\0';
  std::string_view name;
  std::string_view module;

  // "t" and "T": the only kinds that code addresses resolve to.
  bool isFunction() const { return type == 't' || type == 'T'; }
  bool isGlobal() const { return type >= 'A' && type <= 'Z'; }
};

// The same record owning its strings, for callers that keep records beyond
// the life of the text.
struct QVProcKallsymsRecord {
  uint64_t address = 0;
  char type = '\0';
  std::string name;
  std::string module;
};

class QVProcKallsymsParser {
 public:
  // The kernel limits symbol names to 512 bytes; a longer line is not one it
  // wrote.
  static constexpr std::size_t kMaximumLineLength = 1024;

  static std::optional<QVProcKallsymsEntry> parseLine(std::string_view line, std::string_view* reason = nullptr);
  // Calls visit with every well-formed line, in file order, without copying
  // names: the file holds over a hundred thousand lines. Malformed lines are
  // appended to issues when given. Returns the number of lines visited.
  static std::size_t forEach(std::string_view text, const std::function<void(const QVProcKallsymsEntry&)>& visit,
                             std::vector<QVProcParseIssue>* issues = nullptr);
  static QVProcParseResult<QVProcKallsymsRecord> parse(std::string_view text);

  QVProcKallsymsParser() = delete;
};

}  // namespace Quorvel
