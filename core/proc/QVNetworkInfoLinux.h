#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>

#include "ids/QVNetworkId.h"
#include "proc/QVProcSlots.h"

namespace Quorvel {

// The traffic counters of one network interface from /proc/net/dev,
// re-read by update(). Files are read through QVSystemPaths. Every member
// is thread-safe.
class QVNetworkInfoLinux {
 public:
  // [0] packets received, [1] bytes received, [2] receive errors,
  // [3] packets sent, [4] bytes sent, [5] send errors, [6] receive drops,
  // [7] send drops.
  enum Position : std::size_t {
    ReceivePackets,
    ReceiveBytes,
    ReceiveErrors,
    SendPackets,
    SendBytes,
    SendErrors,
    ReceiveDrops,
    SendDrops,
    Count
  };
  using NetworkStats = QVProcSlots<Count>;

  explicit QVNetworkInfoLinux(const QVNetworkId& networkId);

  const QVNetworkId& networkId() const { return networkId_; }
  // False, with the previous values kept, when /proc/net/dev cannot be read
  // or no longer lists the interface.
  bool update();
  NetworkStats networkStats() const;

  // Every interface of /proc/net/dev except the loopback device "lo",
  // whose traffic never leaves the machine.
  static void getNetworkIds(std::unordered_set<QVNetworkId>& networkIds, bool append);

 private:
  QVNetworkId networkId_;
  mutable std::mutex mutex_;
  NetworkStats stats_;
};

}  // namespace Quorvel
