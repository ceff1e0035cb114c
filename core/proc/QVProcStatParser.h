#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "proc/QVProcParseResult.h"

namespace Quorvel {

// The time a processor (or all of them, for the "cpu" line) spent in each
// state, in clock ticks (USER_HZ), in the kernel's column order. Older
// kernels print fewer columns; the missing ones read 0 and fieldCount tells
// how many were present.
struct QVProcCpuTimes {
  enum Column : std::size_t {
    User = 0,
    Nice,
    System,
    Idle,
    IOWait,
    Irq,
    SoftIrq,
    Steal,
    Guest,
    GuestNice,
    ColumnCount
  };
  int index = -1;  // -1 for the all-processor line
  std::array<uint64_t, ColumnCount> ticks{};
  std::size_t fieldCount = 0;
};

// The system-wide counters of /proc/stat.
struct QVProcStatInfo {
  std::optional<QVProcCpuTimes> total;
  std::vector<QVProcCpuTimes> processors;   // in file order
  std::optional<uint64_t> bootTime;         // "btime": seconds since the Unix epoch
  std::optional<uint64_t> interrupts;       // first number of "intr": all interrupts serviced
  std::optional<uint64_t> contextSwitches;  // "ctxt"
  std::optional<uint64_t> forks;            // "processes": tasks created since boot
  std::optional<uint64_t> runningTasks;     // "procs_running"
  std::optional<uint64_t> blockedTasks;     // "procs_blocked"
  std::vector<QVProcParseIssue> issues;
};

class QVProcStatParser {
 public:
  // Lines of kinds not listed above ("page", "swap", "softirq") are passed
  // over silently; a malformed line of a listed kind is an issue.
  static QVProcStatInfo parse(std::string_view text);
  // A "cpu" or "cpuN" line.
  static std::optional<QVProcCpuTimes> parseCpuLine(std::string_view line, std::string_view* reason = nullptr);

  QVProcStatParser() = delete;
};

}  // namespace Quorvel
