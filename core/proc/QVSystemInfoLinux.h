#pragma once

#include <cstddef>
#include <mutex>

#include "proc/QVProcSlots.h"

namespace Quorvel {

// The machine-wide figures of /proc/stat, /proc/loadavg, /proc/meminfo and
// /proc/vmstat, re-read by update() once per sampling pass. Values are
// handed out as records of 8-byte slots that the metric sources address by
// position. A value the kernel did not print reads 0. Files are read
// through QVSystemPaths so tests can point the reader at a fixture tree.
// Every member is thread-safe.
class QVSystemInfoLinux {
 public:
  // /proc/stat: [0] user, [1] nice, [2] system, [3] idle, [4] iowait,
  // [5] irq, [6] softirq, [7] steal, [8] guest, [9] guest_nice, all
  // processors together, in seconds (doubles: read with real());
  // [10] interrupts serviced, [11] context switches, [12] boot time
  // (seconds since the epoch), [13] tasks created since boot (the fork
  // counter), [14] runnable and [15] blocked tasks (integers).
  enum StatPosition : std::size_t {
    UserTime = 0,
    NiceTime,
    SystemTime,
    IdleTime,
    IOWaitTime,
    IrqTime,
    SoftIrqTime,
    StealTime,
    GuestTime,
    GuestNiceTime,
    Interrupts,
    ContextSwitches,
    BootTime,
    Forks,
    RunningTasks,
    BlockedTasks,
    StatCount
  };
  using ProcStatValues = QVProcSlots<StatCount>;

  // /proc/loadavg: [0] 1-, [1] 5-, [2] 15-minute averages (doubles),
  // [3] runnable tasks, [4] all tasks, [5] last pid handed out.
  enum LoadAvgPosition : std::size_t { LoadAvg1, LoadAvg5, LoadAvg15, Runnable, Tasks, LastPid, LoadAvgCount };
  using ProcLoadAvgValues = QVProcSlots<LoadAvgCount>;

  // /proc/meminfo in bytes: [0] MemTotal, [1] MemFree, [2] MemAvailable,
  // [3] Buffers, [4] Cached, [5] SwapCached, [6] Active, [7] Inactive,
  // [8] SwapTotal, [9] SwapFree.
  enum MemInfoPosition : std::size_t {
    MemTotal,
    MemFree,
    MemAvailable,
    Buffers,
    Cached,
    SwapCached,
    Active,
    Inactive,
    SwapTotal,
    SwapFree,
    MemInfoCount
  };
  using ProcMemInfoValues = QVProcSlots<MemInfoCount>;

  // /proc/vmstat page counts: [0] pgpgin, [1] pgpgout, [2] pswpin,
  // [3] pswpout, [4] pgfault, [5] pgmajfault.
  enum VmStatPosition : std::size_t { PageIns, PageOuts, SwapIns, SwapOuts, PageFaults, MajorPageFaults, VmStatCount };
  using ProcVmStatValues = QVProcSlots<VmStatCount>;

  // Re-reads the four files. False when /proc/stat cannot be read or has no
  // "cpu" line; the values of the last good pass are then kept. The other
  // three files are optional (containers hide some): a missing one leaves
  // its values 0 and does not fail the pass.
  bool update();

  ProcStatValues procStatValues() const;
  ProcLoadAvgValues procLoadAvgValues() const;
  ProcMemInfoValues procMemInfoValues() const;
  ProcVmStatValues procVmStatValues() const;

 private:
  mutable std::mutex mutex_;
  ProcStatValues stat_;
  ProcLoadAvgValues loadAvg_;
  ProcMemInfoValues memInfo_;
  ProcVmStatValues vmStat_;
};

}  // namespace Quorvel
