#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QVNotifydTaskTable.h"
#include "QVPerfRing.h"
#include "QVProfiledEventQueue.h"

namespace Quorvel {

/// Follows every task of the system with perf task, comm and mmap records
/// (a dummy software event per processor) while monitoring is on, keeps the
/// task table current and queues one exit record per task that exits.
///
/// Records of different processors reach their rings out of order; they are
/// applied in time order once they are older than a short horizon, so a
/// child's exit is never seen before its fork.
class QVNotifydTaskTracker {
 public:
  QVNotifydTaskTracker(QVProfiledEventQueue& queue, QVNotifydTaskTable& table, unsigned processorCount);
  ~QVNotifydTaskTracker();

  /// Learns the live tasks from procRoot ("/proc"), opens the perf events
  /// and starts the drain thread; false with error set when the kernel
  /// refuses.
  bool start(const std::string& procRoot, std::string& error);
  /// Stops following, applies every record still pending, joins the thread.
  void stop();
  bool running() const { return running_; }
  /// Whether exits are queued as records (the default) or only forget
  /// the task, for a driver that needs the table alone.
  void setReportExits(bool report) { reportExits_ = report; }
  uint64_t lostRecords() const { return lost_; }

  /// Reads the tasks and executable mappings below procRoot into the table.
  static void seedFromProc(const std::string& procRoot, QVNotifydTaskTable& table);

 private:
  struct Pending {
    uint64_t time;
    uint64_t order;
    std::vector<unsigned char> record;
  };
  void _drainLoop();
  void _drainRing(QVPerfRing& ring);
  void _apply(uint64_t horizon);
  void _applyRecord(const std::vector<unsigned char>& record);

  QVProfiledEventQueue& queue_;
  QVNotifydTaskTable& table_;
  unsigned processorCount_;
  std::vector<std::unique_ptr<QVPerfRing>> rings_;
  std::vector<Pending> pending_;
  uint64_t order_ = 0;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> lost_{0};
  int wakeFd_ = -1;
  bool reportExits_ = true;
};

}  // namespace Quorvel
