#pragma once

#include <cstdint>

namespace Quorvel {

// Measures elapsed monotonic time between start() and stop().
// Not thread-safe: one stopwatch belongs to one thread at a time.
class QVStopwatch {
 public:
  QVStopwatch() = default;

  // Starts (or restarts) from zero.
  void start();
  // Freezes the elapsed time; a no-op when not running.
  void stop();
  bool isRunning() const { return running_; }
  // Seconds between start and stop, or up to now while running; 0 before
  // the first start.
  double elapsed() const;

  // Seconds that an empty start()/stop() pair itself measures, taken once
  // when the library loads. Callers subtract it from short measurements.
  static double overhead_;

 private:
  static double _measureOverhead();

  uint64_t startTick_ = 0;
  uint64_t stopTick_ = 0;
  bool running_ = false;
};

}  // namespace Quorvel
