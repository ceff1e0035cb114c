// A process whose threads sit in known call chains, for the unwinding and
// sampling tests. Every mode prints "pid <pid>", possibly more "<key> <value>"
// lines, and then "ready" once its threads are in place.
//
//   spin SECONDS      main -> outer_a -> middle_a -> inner_a spins, and a second
//                     thread thread_b -> work_b -> leaf_b spins ("thread_b <tid>"
//                     is printed); both stop and the process exits 0 after
//                     SECONDS.
//   block             main -> block_outer -> block_middle -> block_inner blocks
//                     in read() on a pipe that never gets data, until killed.
//   exit-after MS     main -> outer_a -> middle_a -> inner_a spins, as does
//                     thread_b, and after MS milliseconds main exits 0,
//                     ending thread_b wherever it is.
//   churn SECONDS     main keeps creating and joining short-lived threads
//                     (churn_worker) for SECONDS, then exits 0.
//   deep DEPTH        main -> deep_frame, called DEPTH times in a row (each
//                     frame holds 256 bytes), -> block_inner, blocking in
//                     read() as block does: a stack far longer than a 16 KiB
//                     window.
//
// The chain functions have C linkage so their symbols read the same with or
// without debug information. The empty asm statements after each call keep
// the compiler from turning the call into a jump (which would drop the
// caller from the stack) and from folding functions with identical bodies.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ProbeCommon.h"

namespace {

void PrintLine(const char* key, long value) {
  std::printf("%s %ld\n", key, value);
  std::fflush(stdout);
}

void PrintReady() {
  std::printf("ready\n");
  std::fflush(stdout);
}

// Set by the spin mode once the second thread is inside its chain.
std::atomic<long> g_threadBTid{0};
volatile unsigned long g_sink = 0;

}  // namespace

extern "C" __attribute__((noinline, noclone, used)) void inner_a(double deadline) {
  unsigned long value = 1;
  while (NowSeconds() < deadline) {
    for (int i = 0; i < 10000; ++i) {
      value = value * 6364136223846793005ul + 1442695040888963407ul;
    }
  }
  g_sink = value;
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void middle_a(double deadline) {
  inner_a(deadline);
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void outer_a(double deadline) {
  middle_a(deadline);
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void leaf_b(double deadline) {
  unsigned long value = 7;
  while (NowSeconds() < deadline) {
    for (int i = 0; i < 10000; ++i) {
      value ^= value << 13;
      value ^= value >> 7;
      value ^= value << 17;
    }
  }
  g_sink = g_sink + value;
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void work_b(double deadline) {
  g_threadBTid = static_cast<long>(syscall(SYS_gettid));
  leaf_b(deadline);
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void* thread_b(void* argument) {
  work_b(*static_cast<double*>(argument));
  asm volatile("" ::: "memory");
  return nullptr;
}

extern "C" __attribute__((noinline, noclone, used)) void block_inner(int fd) {
  PrintReady();
  char byte;
  // Nothing is ever written to the pipe, so this read never returns.
  while (read(fd, &byte, 1) != 0) {
  }
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void block_middle(int fd) {
  block_inner(fd);
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void block_outer(int fd) {
  block_middle(fd);
  asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline, noclone, used)) void deep_frame(int depth, int fd) {
  volatile char room[256];
  room[0] = static_cast<char>(depth);
  if (depth > 1) {
    deep_frame(depth - 1, fd);
  } else {
    block_inner(fd);
  }
  asm volatile("" ::: "memory");
  room[1] = room[0];
}

extern "C" __attribute__((noinline, noclone, used)) void* churn_worker(void*) {
  unsigned long value = static_cast<unsigned long>(syscall(SYS_gettid));
  for (int i = 0; i < 20000; ++i) {
    value = value * 2862933555777941757ul + 3037000493ul;
  }
  g_sink = g_sink + value;
  asm volatile("" ::: "memory");
  return nullptr;
}

namespace {

int Usage(const char* program) {
  std::fprintf(stderr, "usage: %s spin SECONDS | block | exit-after MS | churn SECONDS | deep DEPTH\n", program);
  return 2;
}

int Spin(double seconds) {
  double deadline = NowSeconds() + seconds;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_b, &deadline) != 0) {
    return 3;
  }
  while (g_threadBTid.load() == 0) {
    sched_yield();
  }
  PrintLine("thread_b", g_threadBTid.load());
  PrintReady();
  outer_a(deadline);
  pthread_join(thread, nullptr);
  return 0;
}

// The write end of the pipe stays open so that the read waits instead of
// seeing the end of the pipe.
int Block(int depth) {
  int fds[2];
  if (pipe(fds) != 0) {
    return 3;
  }
  if (depth > 0) {
    deep_frame(depth, fds[0]);
  } else {
    block_outer(fds[0]);
  }
  return 0;
}

int ExitAfter(double milliseconds) {
  const double deadline = NowSeconds() + milliseconds / 1000.0;
  double never = deadline + 3600.0;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, thread_b, &never) != 0) {
    return 3;
  }
  PrintReady();
  outer_a(deadline);
  return 0;
}

int Churn(double seconds) {
  const double deadline = NowSeconds() + seconds;
  PrintReady();
  while (NowSeconds() < deadline) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, churn_worker, nullptr) != 0) {
      return 3;
    }
    pthread_join(thread, nullptr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    return Usage(argv[0]);
  }
  const char* mode = argv[1];
  const bool block = std::strcmp(mode, "block") == 0;
  const bool known = block || std::strcmp(mode, "spin") == 0 || std::strcmp(mode, "exit-after") == 0 ||
                     std::strcmp(mode, "churn") == 0 || std::strcmp(mode, "deep") == 0;
  if (!known || (block ? argc != 2 : argc != 3)) {
    return Usage(argv[0]);
  }
  const double number = block ? 0.0 : ParseNumber(argv[2]);
  if (number < 0.0) {
    return Usage(argv[0]);
  }
  PrintLine("pid", static_cast<long>(getpid()));
  if (block) {
    return Block(0);
  }
  if (std::strcmp(mode, "deep") == 0) {
    return Block(static_cast<int>(number));
  }
  if (std::strcmp(mode, "spin") == 0) {
    return Spin(number);
  }
  if (std::strcmp(mode, "exit-after") == 0) {
    return ExitAfter(number);
  }
  return Churn(number);
}
