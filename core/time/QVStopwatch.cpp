#include "time/QVStopwatch.h"

#include <algorithm>

#include "time/QVTime.h"

namespace Quorvel {

double QVStopwatch::overhead_ = QVStopwatch::_measureOverhead();

void QVStopwatch::start() {
  running_ = true;
  startTick_ = TimeNanos();
  stopTick_ = startTick_;
}

void QVStopwatch::stop() {
  if (running_) {
    stopTick_ = TimeNanos();
    running_ = false;
  }
}

double QVStopwatch::elapsed() const {
  const uint64_t end = running_ ? TimeNanos() : stopTick_;
  return static_cast<double>(end - startTick_) * 1e-9;
}

double QVStopwatch::_measureOverhead() {
  // The minimum over many pairs estimates the fixed cost; an average would
  // include every preemption that happened during library load.
  constexpr int kPairs = 1000;
  double best = 1.0;
  for (int i = 0; i < kPairs; ++i) {
    QVStopwatch watch;
    watch.start();
    watch.stop();
    best = std::min(best, watch.elapsed());
  }
  return best;
}

}  // namespace Quorvel
