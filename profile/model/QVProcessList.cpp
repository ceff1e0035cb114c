#include "model/QVProcessList.h"

#include "ids/QVSystemId.h"
#include "model/QVProcess.h"

namespace Quorvel {

QVProcessList::QVProcessList() : timer_(1.0, true) {
  timer_.expiryDelegate.addObserver([this](QVTimer&) { update(); });
}

QVProcessList::~QVProcessList() { timer_.cancel(); }

bool QVProcessList::update() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::unordered_set<QVProcessId> running;
  QVProcess::getProcessIdsForSystem(QVSystemId::currentSystemId(), running, true, true, false);
  // Sets compare by size and membership, which is what "nothing started or
  // ended" means.
  if (running == processIds_) {
    return false;
  }
  processIds_.swap(running);
  observers.notifyObservers(*this);
  return true;
}

void QVProcessList::setAutoUpdateInterval(double seconds) {
  // Not cancel(): an automatic update may be waiting for the list's lock
  // held by a caller here (an observer changing the period), and cancel()
  // would wait for it in turn. An update already under way finishes and
  // finds the same work as a manual one.
  timer_.requestCancel();
  timer_.setInterval(seconds);
  if (seconds > 0) {
    timer_.start();
  }
}

double QVProcessList::autoUpdateInterval() const { return timer_.interval(); }

void QVProcessList::getProcessIds(std::unordered_set<QVProcessId>& out) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  out = processIds_;
}

}  // namespace Quorvel
