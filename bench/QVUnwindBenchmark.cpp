// Cost of capturing one thread's call stack in a four-thread target: the
// library's getThreadCallStack against a bare loop of the same ptrace and
// libunwind calls, in the same run and on the same target thread. Run with
// --benchmark_repetitions=N to get medians; the library should stay within
// 1.3 times the bare loop.
//
// The target is a forked copy of this program whose four threads sit in a
// short call chain, either blocked in a read or spinning, and either a
// child of this program or not.
#include <dlfcn.h>
#include <libunwind-ptrace.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "Linux/process/QVProcessLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "model/QVProcess.h"
#include "proc/QVTaskInfoLinux.h"
#include "samples/QVAbstractCallStack.h"

extern "C" {
__attribute__((noinline)) void qvbench_leaf(int fd, bool spin) {
  if (spin) {
    static volatile unsigned long counter;
    for (;;) {
      ++counter;
    }
  }
  char byte;
  while (::read(fd, &byte, 1) != 0) {
  }
  asm volatile("" ::: "memory");
}
__attribute__((noinline)) void qvbench_middle(int fd, bool spin) {
  qvbench_leaf(fd, spin);
  asm volatile("" ::: "memory");
}
__attribute__((noinline)) void qvbench_outer(int fd, bool spin) {
  qvbench_middle(fd, spin);
  asm volatile("" ::: "memory");
}
}

namespace {

// The bare loop calls libunwind directly. This program is linked with the
// profile library only, which brings libunwind-ptrace in, so the functions
// are looked up in the process as loaded: the very code the library calls.
struct Unwinder {
  decltype(&_UPT_create) create = Find<decltype(&_UPT_create)>("_UPT_create");
  decltype(&_UPT_destroy) destroy = Find<decltype(&_UPT_destroy)>("_UPT_destroy");
  unw_accessors_t* accessors = Find<unw_accessors_t*>("_UPT_accessors");
  decltype(&unw_create_addr_space) createSpace =
      Find<decltype(&unw_create_addr_space)>("_Ux86_64_create_addr_space");
  decltype(&unw_destroy_addr_space) destroySpace =
      Find<decltype(&unw_destroy_addr_space)>("_Ux86_64_destroy_addr_space");
  decltype(&unw_set_caching_policy) setCachingPolicy =
      Find<decltype(&unw_set_caching_policy)>("_Ux86_64_set_caching_policy");
  decltype(&unw_init_remote) initRemote = Find<decltype(&unw_init_remote)>("_Ux86_64_init_remote");
  decltype(&unw_get_reg) getReg = Find<decltype(&unw_get_reg)>("_Ux86_64_get_reg");
  decltype(&unw_step) step = Find<decltype(&unw_step)>("_Ux86_64_step");

  template <typename T>
  static T Find(const char* name) {
    void* symbol = ::dlsym(RTLD_DEFAULT, name);
    if (symbol == nullptr) {
      throw std::runtime_error(std::string("libunwind function not loaded: ") + name);
    }
    return reinterpret_cast<T>(symbol);
  }
};

struct ThreadArgs {
  int fd;
  bool spin;
};

void* ThreadBody(void* raw) {
  const ThreadArgs* args = static_cast<const ThreadArgs*>(raw);
  qvbench_outer(args->fd, args->spin);
  return nullptr;
}

// Four threads in the chain; killed (and reaped when it is our child) with
// the object. As a grandchild it is not this program's child, as with a
// process chosen by its pid; as a child the attach has to poll its wait
// (see QVTracedThread).
class Target {
 public:
  Target(bool spin, bool child) : child_(child) {
    int blocker[2];
    int ready[2];
    if (::pipe(blocker) != 0 || ::pipe(ready) != 0) {
      throw std::runtime_error("pipe failed");
    }
    const pid_t forked = ::fork();
    if (forked == 0) {
      if (!child && ::fork() != 0) {
        ::_exit(0);
      }
      ::close(blocker[1]);
      ::close(ready[0]);
      static ThreadArgs args{blocker[0], spin};
      for (int i = 0; i < 3; ++i) {
        pthread_t thread;
        ::pthread_create(&thread, nullptr, ThreadBody, &args);
      }
      const pid_t self = ::getpid();
      (void)!::write(ready[1], &self, sizeof(self));
      ThreadBody(&args);
      ::_exit(0);
    }
    ::close(blocker[0]);
    ::close(ready[1]);
    blocker_ = blocker[1];
    if (forked < 0 || ::read(ready[0], &pid_, sizeof(pid_)) != sizeof(pid_)) {
      throw std::runtime_error("target did not start");
    }
    if (!child) {
      int status = 0;
      ::waitpid(forked, &status, 0);
    }
    ::close(ready[0]);
    ::usleep(100000);
  }
  ~Target() {
    ::kill(pid_, SIGKILL);
    if (child_) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    ::close(blocker_);
  }
  pid_t pid() const { return pid_; }

 private:
  bool child_;
  pid_t pid_ = -1;
  int blocker_ = -1;
};

void BM_LibraryThreadCallStack(benchmark::State& state) {
  Target target(state.range(0) != 0, state.range(1) != 0);
  using namespace Quorvel;
  const QVProcessId id = QVProcessLinux::updateProcessList(target.pid(), false);
  std::shared_ptr<QVProcess> process = QVProcess::processWithId(id, false, false);
  std::shared_ptr<QVDebugger> debugger = process ? process->debugger() : nullptr;
  if (!debugger) {
    state.SkipWithError("no debugger for the target");
    return;
  }
  const QVThreadId thread = QVThreadIdFromNativeIdentifier(target.pid(), target.pid());
  long frames = 0;
  for (auto _ : state) {
    std::shared_ptr<QVAbstractCallStack> stack;
    if (!debugger->getThreadCallStack(thread, stack, 512)) {
      state.SkipWithError("unwind failed");
      return;
    }
    frames = stack->size();
  }
  state.counters["frames"] = static_cast<double>(frames);
}

// The same steps written out with nothing around them: attach and wait,
// one ptrace context, a remote cursor stepped to the end reading the
// instruction and stack pointers, then destroy and detach. One address
// space with global caching for the whole run, as the library keeps.
void BM_RawThreadCallStack(benchmark::State& state) {
  Target target(state.range(0) != 0, state.range(1) != 0);
  static const Unwinder unwind;
  unw_addr_space_t space = unwind.createSpace(unwind.accessors, 0);
  unwind.setCachingPolicy(space, UNW_CACHE_GLOBAL);
  const pid_t tid = target.pid();
  long frames = 0;
  for (auto _ : state) {
    if (::ptrace(PTRACE_ATTACH, tid, nullptr, nullptr) != 0) {
      state.SkipWithError("attach failed");
      break;
    }
    int status = 0;
    while (::waitpid(tid, &status, __WALL) == tid && !(WIFSTOPPED(status) && WSTOPSIG(status) == SIGSTOP)) {
      ::ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(WSTOPSIG(status))));
    }
    void* upt = unwind.create(tid);
    unw_cursor_t cursor;
    frames = 0;
    if (unwind.initRemote(&cursor, space, upt) >= 0) {
      do {
        unw_word_t ip = 0;
        unw_word_t sp = 0;
        unwind.getReg(&cursor, UNW_X86_64_RIP, &ip);
        unwind.getReg(&cursor, UNW_X86_64_RSP, &sp);
        benchmark::DoNotOptimize(ip);
        benchmark::DoNotOptimize(sp);
        ++frames;
      } while (unwind.step(&cursor) > 0 && frames < 512);
    }
    unwind.destroy(upt);
    ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  }
  unwind.destroySpace(space);
  state.counters["frames"] = static_cast<double>(frames);
}

// Arguments: spinning (1) or blocked (0) threads; target a child of this
// program (1) or not (0).
BENCHMARK(BM_LibraryThreadCallStack)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"spin", "child"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_RawThreadCallStack)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"spin", "child"})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
