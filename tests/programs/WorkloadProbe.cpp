// Workloads for the sampler's end-to-end tests and benchmarks. Every mode
// prints "pid <pid>" and then "ready" once its threads run.
//
//   busy THREADS SECONDS  THREADS threads spin in busy_worker; exits 0 after
//                         SECONDS.
//   sleepers SECONDS      one thread spins in work_a, four sleep in
//                         sleeper (clock_nanosleep, 10 ms at a time); exits 0
//                         after SECONDS.
//   sleep THREADS SECONDS THREADS threads sleep in sleeper; exits 0 after
//                         SECONDS.
//   callsite SECONDS      main -> tail_caller -> spin_until, a function that
//                         never returns and is called as tail_caller's last
//                         instruction; a second thread line_caller ->
//                         line_leaf, whose call line is marked "the call
//                         site" below. Exits 0 after SECONDS.
//   fixed THREADS UNITS   after a line on standard input, THREADS threads
//                         each do UNITS units of work; then the seconds from
//                         that line to the end are printed as "elapsed <s>".
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ProbeCommon.h"

namespace {

void PrintReady() {
  std::printf("pid %ld\nready\n", static_cast<long>(getpid()));
  std::fflush(stdout);
}

volatile unsigned long g_sink = 0;
double g_deadline = 0.0;
long g_units = 0;
std::atomic<int> g_started{0};

unsigned long Mix(unsigned long value) {
  for (int i = 0; i < 10000; ++i) {
    value = value * 6364136223846793005ul + 1442695040888963407ul;
  }
  return value;
}

}  // namespace

extern "C" __attribute__((noinline, noclone, used)) void* busy_worker(void*) {
  ++g_started;
  unsigned long value = 1;
  while (NowSeconds() < g_deadline) {
    value = Mix(value);
  }
  g_sink = g_sink + value;
  return nullptr;
}

extern "C" __attribute__((noinline, noclone, used)) void work_a() {
  unsigned long value = 3;
  while (NowSeconds() < g_deadline) {
    value = Mix(value);
  }
  g_sink = g_sink + value;
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void* worker(void*) {
  ++g_started;
  work_a();
  asm volatile("" ::: "memory");
  return nullptr;
}

extern "C" __attribute__((noinline, noclone, used)) void* sleeper(void*) {
  ++g_started;
  const timespec pause{0, 10 * 1000 * 1000};
  while (NowSeconds() < g_deadline) {
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
  }
  return nullptr;
}

// Never returns, so its callers' return addresses may lie past their own
// functions.
extern "C" __attribute__((noinline, noclone, noreturn, used)) void spin_until(double deadline) {
  unsigned long value = 5;
  while (NowSeconds() < deadline) {
    value = Mix(value);
  }
  g_sink = g_sink + value;
  std::exit(0);
}

// The call is the function's last instruction: nothing follows a call to a
// function that never returns.
extern "C" __attribute__((noinline, noclone, used)) void tail_caller(double deadline) { spin_until(deadline); }

extern "C" __attribute__((noinline, noclone, used)) void line_leaf() {
  unsigned long value = 9;
  while (NowSeconds() < g_deadline) {
    value = Mix(value);
  }
  g_sink = g_sink + value;
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void* line_caller(void*) {
  ++g_started;
  line_leaf();  // the call site
  g_sink = g_sink + 1;
  asm volatile("" ::: "memory");
  return nullptr;
}

extern "C" __attribute__((noinline, noclone, used)) void* fixed_worker(void*) {
  unsigned long value = 11;
  for (long unit = 0; unit < g_units; ++unit) {
    value = Mix(value);
  }
  g_sink = g_sink + value;
  return nullptr;
}

namespace {

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s busy THREADS SECONDS | sleep THREADS SECONDS | sleepers SECONDS | callsite SECONDS | "
               "fixed THREADS UNITS\n",
               program);
  return 2;
}

bool StartThreads(std::vector<pthread_t>& threads, int count, void* (*body)(void*)) {
  for (int i = 0; i < count; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0) {
      return false;
    }
    threads.push_back(thread);
  }
  return true;
}

void WaitStarted(int count) {
  while (g_started.load() < count) {
    sched_yield();
  }
}

int JoinAll(std::vector<pthread_t>& threads) {
  for (pthread_t thread : threads) {
    pthread_join(thread, nullptr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return Usage(argv[0]);
  }
  const char* mode = argv[1];
  const bool twoNumbers =
      std::strcmp(mode, "busy") == 0 || std::strcmp(mode, "sleep") == 0 || std::strcmp(mode, "fixed") == 0;
  if (argc != (twoNumbers ? 4 : 3)) {
    return Usage(argv[0]);
  }
  const double first = ParseNumber(argv[2]);
  const double second = twoNumbers ? ParseNumber(argv[3]) : 0.0;
  if (first < 0.0 || second < 0.0) {
    return Usage(argv[0]);
  }
  std::vector<pthread_t> threads;
  const bool busy = std::strcmp(mode, "busy") == 0;
  if (busy || std::strcmp(mode, "sleep") == 0) {
    g_deadline = NowSeconds() + second;
    const int count = static_cast<int>(first);
    if (!StartThreads(threads, count, busy ? busy_worker : sleeper)) return 3;
    WaitStarted(count);
    PrintReady();
    return JoinAll(threads);
  }
  if (std::strcmp(mode, "sleepers") == 0) {
    g_deadline = NowSeconds() + first;
    if (!StartThreads(threads, 1, worker) || !StartThreads(threads, 4, sleeper)) return 3;
    WaitStarted(5);
    PrintReady();
    return JoinAll(threads);
  }
  if (std::strcmp(mode, "callsite") == 0) {
    g_deadline = NowSeconds() + first;
    if (!StartThreads(threads, 1, line_caller)) return 3;
    WaitStarted(1);
    PrintReady();
    tail_caller(g_deadline);
  }
  if (std::strcmp(mode, "fixed") == 0) {
    g_units = static_cast<long>(second);
    PrintReady();
    char line[16];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 3;
    const double started = NowSeconds();
    if (!StartThreads(threads, static_cast<int>(first), fixed_worker)) return 3;
    JoinAll(threads);
    std::printf("elapsed %.6f\n", NowSeconds() - started);
    return 0;
  }
  return Usage(argv[0]);
}
