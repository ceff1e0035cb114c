// Blocks over and over in system calls that the kernel never restarts once
// they were interrupted (epoll_wait, sigtimedwait, semtimedop) and in ones it
// restarts (poll, nanosleep), with a signal handler installed, beside one
// busy thread, until its standard input is closed. Writes to the file named
// by its argument, per call,
// how often it failed with EINTR and how often it returned before its
// timeout ran out.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "ProbeCommon.h"

namespace {

constexpr int kCalls = 5;
const char* const kNames[kCalls] = {"epoll_wait", "sigtimedwait", "semtimedop", "poll", "nanosleep"};
constexpr long kTimeoutMs = 20;
int gSem = -1;
long gEintr[kCalls];
long gShort[kCalls];
long gTotal[kCalls];
std::atomic<bool> gDone{false};

void OnSignal(int) {}

int CallOnce(int which, int epfd) {
  timespec timeout{0, kTimeoutMs * 1000000L};
  switch (which) {
    case 0: {
      epoll_event event{};
      return epoll_wait(epfd, &event, 1, static_cast<int>(kTimeoutMs));
    }
    case 1: {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SIGUSR2);
      return sigtimedwait(&set, nullptr, &timeout);
    }
    case 2: {
      sembuf op{0, -1, 0};
      return semtimedop(gSem, &op, 1, &timeout);
    }
    case 3:
      return poll(nullptr, 0, static_cast<int>(kTimeoutMs));
    default:
      return nanosleep(&timeout, nullptr);
  }
}

void* Loop(void* argument) {
  const int which = static_cast<int>(reinterpret_cast<long>(argument));
  const int epfd = epoll_create1(0);
  while (!gDone.load()) {
    const double begin = NowSeconds();
    const int result = CallOnce(which, epfd);
    const double took = NowSeconds() - begin;
    ++gTotal[which];
    if (result < 0 && errno == EINTR) {
      ++gEintr[which];
    } else if (took < 0.9 * static_cast<double>(kTimeoutMs) / 1000.0) {
      ++gShort[which];
    }
  }
  close(epfd);
  return nullptr;
}

void* Spin(void*) {
  volatile unsigned long counter = 0;
  while (!gDone.load()) {
    counter = counter + 1;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART;
  sigaction(SIGUSR1, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  gSem = semget(IPC_PRIVATE, 1, 0600);
  pthread_t spinner;
  pthread_create(&spinner, nullptr, Spin, nullptr);
  pthread_t threads[kCalls];
  for (long i = 0; i < kCalls; ++i) {
    pthread_create(&threads[i], nullptr, Loop, reinterpret_cast<void*>(i));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char byte = 0;
  while (read(0, &byte, 1) > 0) {
  }
  gDone.store(true);
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  pthread_join(spinner, nullptr);
  semctl(gSem, 0, IPC_RMID);
  FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    return 1;
  }
  for (int i = 0; i < kCalls; ++i) {
    std::fprintf(out, "%s %ld %ld %ld\n", kNames[i], gTotal[i], gEintr[i], gShort[i]);
  }
  std::fclose(out);
  return 0;
}
