#pragma once

#include <mutex>
#include <unordered_set>

#include "base/QVDelegate.h"
#include "ids/QVProcessId.h"
#include "time/QVTimer.h"

namespace Quorvel {

// Watches the set of running processes of this machine and tells its
// observers whenever a process started or ended since the last look.
// Looks happen on update(), or on a timer once an interval is set.
//
// Observers run on the thread that updated (the timer's, for automatic
// updates) with the list's lock held: they may read the list, but must not
// wait for another thread that updates it.
class QVProcessList {
 public:
  QVProcessList();
  // Stops the timer and waits for an update in progress on it.
  virtual ~QVProcessList();
  QVProcessList(const QVProcessList&) = delete;
  QVProcessList& operator=(const QVProcessList&) = delete;

  // Takes the running processes of this machine (asking the platform for
  // new ones first); true, after notifying the observers, when the set
  // differs from the last one seen.
  virtual bool update();
  // Restarts the automatic updates with this period; 0 or less stops them.
  virtual void setAutoUpdateInterval(double seconds);
  virtual double autoUpdateInterval() const;
  // A copy of the set last seen.
  virtual void getProcessIds(std::unordered_set<QVProcessId>& out) const;

  QVDelegate1<const QVProcessList&> observers;

 private:
  std::unordered_set<QVProcessId> processIds_;
  mutable std::recursive_mutex mutex_;
  QVTimer timer_;
};

}  // namespace Quorvel
