#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// The lines of /proc/<id>/status that the task reader uses. A line that is
// missing (kernel threads have no Vm lines; old kernels lack some) leaves
// its value 0, or empty for the optionals. Memory sizes are in bytes.
struct QVProcTaskStatus {
  std::string name;  // as the kernel escapes it for this file
  char state = '\0';
  uint64_t tgid = 0;
  uint64_t pid = 0;
  uint64_t ppid = 0;
  uint64_t tracerPid = 0;
  std::optional<uint32_t> realUid;
  std::optional<uint32_t> realGid;
  std::optional<uint32_t> umask;  // "Umask:", octal; kernels before 4.7 lack it
  uint64_t vmPeak = 0;
  uint64_t vmSize = 0;
  uint64_t vmLck = 0;
  uint64_t vmPin = 0;
  uint64_t vmHWM = 0;
  uint64_t vmRSS = 0;
  uint64_t vmData = 0;
  uint64_t vmStk = 0;
  uint64_t vmExe = 0;
  uint64_t vmLib = 0;
  uint64_t vmPTE = 0;
  uint64_t vmSwap = 0;
  int32_t threads = 0;
  uint64_t voluntaryContextSwitches = 0;
  uint64_t nonvoluntaryContextSwitches = 0;
  std::vector<QVProcParseIssue> issues;
};

class QVProcTaskStatusParser {
 public:
  // Lines of names not listed above are passed over; a listed line whose
  // value does not parse is an issue and leaves the value unset.
  static QVProcTaskStatus parse(std::string_view text);

  QVProcTaskStatusParser() = delete;
};

}  // namespace Quorvel
