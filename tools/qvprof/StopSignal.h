#pragma once

#include <signal.h>

#include <atomic>

namespace Quorvel {
namespace qvprof {

// Turns SIGINT and SIGTERM into a request that the main loop polls.
//
// The handlers only store the signal number in an atomic. Both signals are
// blocked in the constructing thread, and threads started afterwards (the
// library's timer and sampler threads) inherit that block, so a signal never
// interrupts a ptrace wait or a stopped target's unwind on another thread.
// The signals are let in only while the main loop sleeps in wait().
//
// One object at a time per process; the destructor restores the previous
// handlers and mask, and a pending signal that was never waited for is
// forgotten with them.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Sleeps up to `seconds`, returning early when a signal arrives. True once
  // a stop has been requested.
  bool wait(double seconds);
  bool requested() const { return received_.load() != 0; }
  // The signal that asked for the stop, 0 before one did.
  int signalNumber() const { return received_.load(); }

  // For a child between fork and exec: the handlers back to their defaults
  // and the mask as it was before this object, so the program run does not
  // start with the signals blocked. Async-signal-safe.
  void restoreForChild() const;

 private:
  static void _handler(int signalNumber);

  static std::atomic<int> received_;
  static std::atomic<bool> live_;
  sigset_t previousMask_;
  struct sigaction previousInt_;
  struct sigaction previousTerm_;
};

}  // namespace qvprof
}  // namespace Quorvel
