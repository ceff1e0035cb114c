#include "StopSignal.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace Quorvel {
namespace qvprof {

std::atomic<int> StopSignal::received_{0};
std::atomic<bool> StopSignal::live_{false};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void StopSignal::_handler(int signalNumber) { received_.store(signalNumber); }

StopSignal::StopSignal() {
  if (live_.exchange(true)) throw std::logic_error("only one StopSignal may exist at a time");
  received_.store(0);

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // Blocked before the handlers go in, so no signal can run a handler on a
  // thread that should never see it.
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask_);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = &StopSignal::_handler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previousInt_);
  sigaction(SIGTERM, &action, &previousTerm_);
}

StopSignal::~StopSignal() {
  // A signal that arrived after the last wait is still pending; with the old
  // handlers back it would act (kill us) the moment the mask is restored.
  // The stop it asked for has been handled: ignoring a pending signal
  // discards it.
  sigset_t pending;
  sigpending(&pending);
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  for (int signalNumber : {SIGINT, SIGTERM}) {
    if (sigismember(&pending, signalNumber)) sigaction(signalNumber, &ignore, nullptr);
  }
  sigaction(SIGINT, &previousInt_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  live_.store(false);
}

bool StopSignal::wait(double seconds) {
  if (requested()) return true;
  sigset_t waitMask = previousMask_;
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  if (!(seconds > 0.0)) seconds = 0.0;
  struct timespec timeout;
  timeout.tv_sec = static_cast<time_t>(seconds);
  timeout.tv_nsec = static_cast<long>(std::fmod(seconds, 1.0) * 1e9);
  // ppoll swaps the mask atomically, so a signal sent just before the call
  // is delivered inside it rather than lost until the next wait.
  ppoll(nullptr, 0, &timeout, &waitMask);
  return requested();
}

void StopSignal::restoreForChild() const {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  // The child of a fork has one thread, and sigprocmask is the call that
  // is safe there.
  sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

}  // namespace qvprof
}  // namespace Quorvel
