#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "ids/QVProcessId.h"
#include "ids/QVThreadId.h"
#include "system/QVMachine.h"

namespace Quorvel {

struct QVProcTaskStat;
struct QVProcTaskStatus;

// What /proc says about one task: a process, or a thread (a thread's id has a
// /proc/<tid> folder of its own even though /proc does not list it).
//
// Construction reads /proc/<id>/stat, /proc/<id>/status, the target of
// /proc/<id>/exe and the ELF header of that executable once. A task that
// cannot be read (gone, or never there) gives an object whose isValid() is
// false and whose values are empty or 0; construction never throws, because
// callers build readers for tasks that may exit at any moment. refresh()
// re-reads stat and status for periodic sampling; the executable and the
// architecture are those seen at construction.
//
// All files are read through QVSystemPaths, so tests can point the reader at
// a fixture tree. Every member is thread-safe.
class QVTaskInfoLinux {
 public:
  // Values of /proc/<id>/stat by position, for the metric sources, which read
  // them by position. Each position is an 8-byte slot:
  //   [0] pid, [1] ppid, [2] minor faults, [3] major faults (integers);
  //   [4] user time, [5] system time (seconds, as doubles stored in their
  //   slots; read them with real()).
  struct ProcStatValues {
    enum Position : std::size_t { Pid = 0, PPid, MinorFaults, MajorFaults, UserTime, SystemTime, Count };
    std::array<uint64_t, Count> slots{};

    // Both give 0 for a position outside the record.
    uint64_t integer(std::size_t position) const { return position < Count ? slots[position] : 0; }
    double real(std::size_t position) const {
      double value = 0;
      if (position < Count) {
        std::memcpy(&value, &slots[position], sizeof(value));
      }
      return value;
    }
    void setInteger(std::size_t position, uint64_t value) {
      if (position < Count) {
        slots[position] = value;
      }
    }
    void setReal(std::size_t position, double value) {
      if (position < Count) {
        std::memcpy(&slots[position], &value, sizeof(value));
      }
    }
  };

  // Values of /proc/<id>/status by position, 8-byte slots:
  //   [0] Tgid, [1] Pid, [2] PPid, [3] TracerPid, [4] real uid, [5] real gid,
  //   [6] VmPeak, [7] VmSize, [8] VmLck, [9] VmPin, [10] VmHWM, [11] VmRSS,
  //   [12] VmData, [13] VmStk, [14] VmExe, [15] VmLib, [16] VmPTE,
  //   [17] VmSwap (all Vm values in bytes), [18] Threads, a signed 32-bit
  //   value in the slot's low 4 bytes (4-byte position 36; read it with
  //   threadCount() or int32At(36)), [19] voluntary and [20] nonvoluntary
  //   context switches.
  // A line missing from the file gives 0; an unknown uid or gid gives
  // 0xFFFFFFFF.
  struct ProcStatusValues {
    enum Position : std::size_t {
      Tgid = 0,
      Pid,
      PPid,
      TracerPid,
      Uid,
      Gid,
      VmPeak,
      VmSize,
      VmLck,
      VmPin,
      VmHWM,
      VmRSS,
      VmData,
      VmStk,
      VmExe,
      VmLib,
      VmPTE,
      VmSwap,
      Threads,
      VoluntaryContextSwitches,
      NonvoluntaryContextSwitches,
      Count
    };
    static constexpr std::size_t kThreadsInt32Position = 36;
    std::array<uint64_t, Count> slots{};

    uint64_t integer(std::size_t position) const { return position < Count ? slots[position] : 0; }
    void setInteger(std::size_t position, uint64_t value) {
      if (position < Count) {
        slots[position] = value;
      }
    }
    // The signed 32-bit value at a 4-byte position; 0 outside the record.
    int32_t int32At(std::size_t fourBytePosition) const {
      int32_t value = 0;
      if (fourBytePosition < Count * 2) {
        std::memcpy(&value, reinterpret_cast<const unsigned char*>(slots.data()) + fourBytePosition * 4, sizeof(value));
      }
      return value;
    }
    void setInt32At(std::size_t fourBytePosition, int32_t value) {
      if (fourBytePosition < Count * 2) {
        std::memcpy(reinterpret_cast<unsigned char*>(slots.data()) + fourBytePosition * 4, &value, sizeof(value));
      }
    }
    int32_t threadCount() const { return int32At(kThreadsInt32Position); }
  };

  static constexpr uint32_t kUnknownUID = 0xFFFFFFFF;

  explicit QVTaskInfoLinux(int64_t nativeIdentifier);
  QVTaskInfoLinux(const QVTaskInfoLinux& other);
  QVTaskInfoLinux& operator=(const QVTaskInfoLinux& other);

  // Whether the task could be read at construction (or at the last
  // successful refresh).
  bool isValid() const;
  int64_t nativeIdentifier() const { return nativeIdentifier_; }
  // The process the task belongs to (its own id for a process); the id
  // itself when status could not be read.
  int64_t threadGroupId() const;
  // 0 when unknown, and for tasks whose parent is outside their namespace.
  int64_t ppid() const;
  // The command name, exactly as in stat (it may hold spaces and
  // parentheses); empty when unknown.
  std::string name() const;
  // The target of /proc/<id>/exe as the kernel gives it (with its
  // " (deleted)" suffix when the file was removed). Empty for kernel
  // threads, which have none, and when the link may not be read.
  std::string executable() const;
  uint32_t realUID() const;
  // Nanoseconds since the Unix epoch: the machine's boot time plus the
  // start time in stat. Its resolution is that of the boot time, a second.
  // 0 when unknown.
  uint64_t startTime() const;
  // From the ELF header of the executable when it can be read, else the
  // local machine's.
  QVArchitecture architecture() const;
  // Re-checked on every call: the task's folder still exists, stat still
  // shows the task that was read at construction (not a newer task that
  // reused the id), and it is neither a zombie nor dead.
  bool isRunning() const;

  // Re-reads stat and status. False, with the previous values kept, when the
  // task is gone or its id now names another task.
  bool refresh();
  // The name the metric sources use for refresh().
  bool update() { return refresh(); }

  ProcStatValues procStatValues() const;
  ProcStatusValues procStatusValues() const;

  // The live processes of the machine, from the numbered folders of /proc.
  // With append false the set is cleared first. Tasks that exit while being
  // listed are left out.
  static void getProcessIds(std::unordered_set<QVProcessId>& processIds, bool append);
  // Every live thread of every live process.
  static void getThreadIds(std::unordered_set<QVThreadId>& threadIds, bool append);
  // The live threads of one process, from /proc/<pid>/task. Nothing when the
  // process is not of this system or has exited (including when its pid now
  // names a newer process).
  static void getThreadIdsForProcess(const QVProcessId& processId, std::unordered_set<QVThreadId>& threadIds,
                                     bool append);

  // The machine type recorded in an ELF header (the first 20 bytes of the
  // file suffice); nothing when the bytes are not an ELF header.
  static std::optional<QVArchitecture> architectureFromElfHeader(std::string_view header);
  // Nanoseconds since the Unix epoch of a stat start time in clock ticks.
  static uint64_t startTimeFromTicks(uint64_t bootTimeNanos, uint64_t startTicks);

 private:
  struct State {
    bool valid = false;
    int64_t threadGroupId = 0;
    int64_t ppid = 0;
    std::string name;
    uint32_t realUID = kUnknownUID;
    uint64_t startTicks = 0;
    uint64_t startTime = 0;
    ProcStatValues statValues;
    ProcStatusValues statusValues;
  };

  // Fills state from the task's files; false when stat cannot be read.
  bool _read(State& state) const;
  static void _fillStatValues(const QVProcTaskStat& stat, ProcStatValues& values);
  static void _fillStatusValues(const QVProcTaskStatus& status, ProcStatusValues& values);

  int64_t nativeIdentifier_;
  std::string executable_;
  QVArchitecture architecture_ = QVArchitectureUnknown;
  mutable std::mutex mutex_;
  State state_;
};

// The interned id of the live process pid of this system, with the process's
// start time; the invalid id when no live process has that pid (a thread id
// that is not its process's own is not a process).
QVProcessId QVProcessIdFromNativeIdentifier(int pid);
// The interned id of thread tid of the live process pid; invalid when either
// is not alive, or tid is not a thread of pid.
QVThreadId QVThreadIdFromNativeIdentifier(int pid, int tid);

}  // namespace Quorvel
