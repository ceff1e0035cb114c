#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// One line of /proc/<pid>/maps:
//   start-end perms offset major:minor inode [name]
// name is what follows the inode, with the kernel's padding removed: a file
// path (which may contain spaces), a bracketed pseudo name ("[vdso]",
// "[heap]", "[stack]", "[anon:...]"), another kernel name
// ("anon_inode:[perf_event]", "/SYSV00000000 (deleted)") or empty for an
// anonymous mapping. A trailing " (deleted)" is removed from name and
// recorded in deleted.
struct QVProcMapsEntry {
  uint64_t start = 0;
  uint64_t end = 0;
  std::string permissions;  // four characters, "r-xp"
  uint64_t offset = 0;
  std::string device;  // "fe:00"
  uint64_t inode = 0;
  std::string name;
  bool deleted = false;

  bool isReadable() const { return permissions.size() == 4 && permissions[0] == 'r'; }
  bool isWritable() const { return permissions.size() == 4 && permissions[1] == 'w'; }
  bool isExecutable() const { return permissions.size() == 4 && permissions[2] == 'x'; }
  bool isShared() const { return permissions.size() == 4 && permissions[3] == 's'; }
  // "[vdso]", "[heap]" and the like: kernel-provided, not a file.
  bool isBracketedName() const { return name.size() >= 2 && name.front() == '[' && name.back() == ']'; }
  // The text from the first "/" on; empty when the name holds none. This is
  // how a file mapping's path is told apart from a pseudo name.
  std::string_view path() const;
};

class QVProcMapsParser {
 public:
  // One line; on failure reason (when given) says why. A start not below end
  // is returned as parsed: whether such a range is usable is the caller's
  // decision, and it may want to log the line.
  static std::optional<QVProcMapsEntry> parseLine(std::string_view line, std::string_view* reason = nullptr);
  // Every line of a maps file; blank lines are ignored.
  static QVProcParseResult<QVProcMapsEntry> parse(std::string_view text);

  QVProcMapsParser() = delete;
};

}  // namespace Quorvel
