#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Quorvel {

// The leading fields of /proc/<id>/stat that the task reader uses (field
// numbers as proc(5) counts them). Times are in clock ticks (USER_HZ).
struct QVProcTaskStat {
  int pid = 0;                 // 1
  std::string command;         // 2, without the parentheses
  char state = '\0';           // 3
  int ppid = 0;                // 4
  int processGroup = 0;        // 5
  int session = 0;             // 6
  uint64_t minorFaults = 0;    // 10
  uint64_t majorFaults = 0;    // 12
  uint64_t userTicks = 0;      // 14
  uint64_t systemTicks = 0;    // 15
  int64_t priority = 0;        // 18
  int64_t nice = 0;            // 19
  int64_t threadCount = 0;     // 20
  uint64_t startTicks = 0;     // 22: since boot
  uint64_t virtualSize = 0;    // 23, bytes; 0 when the line ends earlier
  uint64_t residentPages = 0;  // 24; 0 when the line ends earlier

  // "Z" (zombie) and "X" (dead) tasks have finished running even while their
  // /proc entries remain.
  bool hasExited() const { return state == 'Z' || state == 'X'; }
};

class QVProcTaskStatParser {
 public:
  // The whole file. The command name may hold spaces, parentheses and even
  // line breaks, so it is taken as everything between the first "(" and the
  // last ")"; the numbered fields follow that. Fields up to the start time
  // (22) are required.
  static std::optional<QVProcTaskStat> parse(std::string_view text, std::string_view* reason = nullptr);

  QVProcTaskStatParser() = delete;
};

}  // namespace Quorvel
