#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>

#include "ids/QVDiskId.h"
#include "proc/QVProcSlots.h"

namespace Quorvel {

// The I/O counters of one disk from /proc/diskstats, re-read by update().
// Files are read through QVSystemPaths. Every member is thread-safe.
class QVDiskInfoLinux {
 public:
  // [0] reads completed, [1] reads merged, [2] bytes read, [3] time spent
  // reading (seconds, a double: read with real()), [4] writes completed,
  // [5] writes merged, [6] bytes written, [7] time spent writing (seconds,
  // a double), [8] I/Os in flight, [9] time doing I/O (seconds, a double).
  enum Position : std::size_t {
    Reads,
    ReadsMerged,
    ReadBytes,
    ReadTime,
    Writes,
    WritesMerged,
    WriteBytes,
    WriteTime,
    InFlight,
    IOTime,
    Count
  };
  using DiskStats = QVProcSlots<Count>;

  explicit QVDiskInfoLinux(const QVDiskId& diskId);

  const QVDiskId& diskId() const { return diskId_; }
  // False, with the previous values kept, when /proc/diskstats cannot be
  // read or no longer lists the disk (it was removed).
  bool update();
  DiskStats diskStats() const;

  // The whole disks of this machine: the devices of /proc/diskstats that
  // /sys/block lists (partitions would count their traffic twice). When
  // /sys/block cannot be read, every device except loop and ram devices.
  static void getDiskIds(std::unordered_set<QVDiskId>& diskIds, bool append);

 private:
  QVDiskId diskId_;
  mutable std::mutex mutex_;
  DiskStats stats_;
};

}  // namespace Quorvel
