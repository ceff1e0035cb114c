#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "ids/QVThreadId.h"

namespace Quorvel {

class QVSessionProfile;

namespace qvprof {

class SyscallNames;

// What the scheduler and system-call traces of a session add to its call
// tree: where threads waited and which system calls they made. Both take a
// native pid to keep (-1 keeps every process); the idle task is never a
// thread that waits.
class TenureSummary {
 public:
  // Time a thread spent switched out, split by why its previous run ended
  // (indexed by the tenure end reason: unknown, preempted, yield, sleep,
  // exit). A gap counts from the end of one run to the start of the next.
  struct ThreadOffCpu {
    QVThreadId threadId;
    uint64_t total = 0;
    uint64_t byReason[5] = {0, 0, 0, 0, 0};
    uint64_t switches = 0;  // runs that ended
  };
  // Heaviest first, then by thread id.
  static std::vector<ThreadOffCpu> offCpu(const QVSessionProfile& profile, int64_t processId);

  struct SystemCallStats {
    int number = 0;
    uint64_t calls = 0;
    uint64_t totalTicks = 0;
    uint64_t errors = 0;  // results from -4095 to -1
  };
  // Most total time first, then by number.
  static std::vector<SystemCallStats> systemCalls(const QVSessionProfile& profile, int64_t processId);

  // Each writes its table and returns whether the session had such data
  // for the kept processes. At most maxRows rows; the rest are counted.
  static bool writeOffCpu(std::ostream& out, const QVSessionProfile& profile, int64_t processId, size_t maxRows);
  static bool writeSystemCalls(std::ostream& out, const QVSessionProfile& profile, int64_t processId,
                               const SyscallNames& names, size_t maxRows);
};

}  // namespace qvprof
}  // namespace Quorvel
