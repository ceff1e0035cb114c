// How much a target slows down while the process sampler stops and unwinds
// its threads: a fixed amount of work is timed unsampled (argument 0) and
// sampled at 100 Hz and 1000 Hz. The work runs in two threads of a forked
// child in a short call chain; its time runs from the go signal until the
// child has exited. Sampled runs also report the stacks asked for (ticks
// the timer should have given times the threads) and the stacks taken, per
// second of the run.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>

#include "config/QVSessionConfig.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVProcess.h"
#include "recording/QVSamplerProcess.h"

extern "C" {
__attribute__((noinline)) unsigned long qvbench_work_leaf(unsigned long rounds) {
  unsigned long value = 1;
  for (unsigned long i = 0; i < rounds; ++i) {
    value = value * 6364136223846793005ul + 1442695040888963407ul;
  }
  asm volatile("" ::: "memory");
  return value;
}
__attribute__((noinline)) unsigned long qvbench_work_middle(unsigned long rounds) {
  unsigned long value = 0;
  // Many short calls rather than one long one, so that samples also find
  // the chain mid-call.
  for (unsigned long i = 0; i < rounds / 100000; ++i) {
    value += qvbench_work_leaf(100000);
  }
  asm volatile("" ::: "memory");
  return value;
}
__attribute__((noinline)) void* qvbench_work_thread(void* rounds) {
  const unsigned long value = qvbench_work_middle(reinterpret_cast<unsigned long>(rounds));
  benchmark::DoNotOptimize(value);
  return nullptr;
}
}

namespace {

// About a third of a second of work per thread on this machine's cores.
constexpr unsigned long kRounds = 400000000ul;
constexpr int kThreads = 2;

// A grandchild of this program (as a process chosen by its pid is not this
// program's child) that waits for the go byte, does the work in kThreads
// threads and exits. Its end shows as the end of a pipe it holds. Killed
// with the object if it is still there.
class Workload {
 public:
  Workload() {
    int go[2];
    int done[2];
    int ready[2];
    if (::pipe(go) != 0 || ::pipe(done) != 0 || ::pipe(ready) != 0) {
      throw std::runtime_error("pipe failed");
    }
    const pid_t forked = ::fork();
    if (forked == 0) {
      if (::fork() != 0) {
        ::_exit(0);
      }
      ::close(go[1]);
      ::close(done[0]);
      ::close(ready[0]);
      const pid_t self = ::getpid();
      (void)!::write(ready[1], &self, sizeof(self));
      char byte;
      if (::read(go[0], &byte, 1) != 1) {
        ::_exit(1);
      }
      pthread_t thread;
      ::pthread_create(&thread, nullptr, qvbench_work_thread, reinterpret_cast<void*>(kRounds));
      qvbench_work_thread(reinterpret_cast<void*>(kRounds));
      ::pthread_join(thread, nullptr);
      ::_exit(0);
    }
    ::close(go[0]);
    ::close(done[1]);
    ::close(ready[1]);
    go_ = go[1];
    done_ = done[0];
    const bool started = forked > 0 && ::read(ready[0], &pid_, sizeof(pid_)) == sizeof(pid_);
    ::close(ready[0]);
    int status = 0;
    ::waitpid(forked, &status, 0);
    if (!started) {
      throw std::runtime_error("workload did not start");
    }
  }
  ~Workload() {
    ::kill(pid_, SIGKILL);
    ::close(go_);
    ::close(done_);
  }
  pid_t pid() const { return pid_; }
  // Starts the work and waits for its end; seconds taken.
  double run() {
    const auto begin = std::chrono::steady_clock::now();
    const char byte = 'g';
    if (::write(go_, &byte, 1) != 1) {
      throw std::runtime_error("go failed");
    }
    char sink;
    while (::read(done_, &sink, 1) > 0) {
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
  int done_ = -1;
};

void BM_SampledWorkload(benchmark::State& state) {
  using namespace Quorvel;
  const int hertz = static_cast<int>(state.range(0));
  double asked = 0;
  double taken = 0;
  double seconds = 0;
  for (auto _ : state) {
    Workload workload;
    std::unique_ptr<QVSamplerProcess> sampler;
    if (hertz > 0) {
      auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
      config->timerConfig->interval = 1.0 / hertz;
      sampler = std::make_unique<QVSamplerProcess>(config);
      const QVProcessId id = QVProcessLinux::updateProcessList(workload.pid(), false);
      if (!sampler->setTargetProcess(QVProcess::processWithId(id, false, false)) || !sampler->start()) {
        state.SkipWithError("the sampler did not start");
        return;
      }
    }
    const double elapsed = workload.run();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (sampler) {
      sampler->stop();
      asked += elapsed * hertz * kThreads;
      taken += static_cast<double>(sampler->sampleCount());
    }
  }
  if (hertz > 0) {
    state.counters["asked_per_s"] = asked / seconds;
    state.counters["taken_per_s"] = taken / seconds;
  }
}

BENCHMARK(BM_SampledWorkload)->Arg(0)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace
