// The process sampler against the workload program, the figures a user
// choosing between it and perf looks at:
//   - stacks per second at a 1 ms interval with 1, 4 and 16 busy threads;
//   - the sampler's CPU time per stack with 1 busy and 16 sleeping threads;
//   - how long after the time limit, and after a stop request (what Ctrl-C
//     makes), sampling of 16 busy threads has ended;
//   - the slowdown of a fixed amount of work in 4 threads at 100 Hz and
//     1 kHz, beside `perf record -g` at the same rate, in one run: in
//     elapsed time, and in the CPU time the work and the profiler used.
// The workload is a child of this program, as `qvprof record -- PROGRAM`
// has it.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "config/QVSessionConfig.h"
#include "Linux/process/QVProcessLinux.h"
#include "model/QVProcess.h"
#include "recording/QVSamplerProcess.h"
#include "time/QVTime.h"

namespace {

using Clock = std::chrono::steady_clock;

// A program started with its standard input and output on pipes; killed
// and reaped with the object.
class Child {
 public:
  explicit Child(std::vector<std::string> words) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = ::fdopen(out[0], "r");
  }
  ~Child() {
    if (output_ != nullptr) std::fclose(output_);
    if (input_ >= 0) ::close(input_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The value of the first "<key> <value>" line with this key; reads on
  // until it comes. Empty at the end of the output.
  std::string valueOf(const char* key) {
    char line[256];
    const size_t length = std::strlen(key);
    while (output_ != nullptr && std::fgets(line, sizeof line, output_) != nullptr) {
      if (std::strncmp(line, key, length) == 0 && (line[length] == ' ' || line[length] == '\n')) {
        std::string value(line + length);
        const size_t begin = value.find_first_not_of(' ');
        const size_t end = value.find_last_not_of("\n ");
        value = begin == std::string::npos || end < begin ? std::string() : value.substr(begin, end - begin + 1);
        return value.empty() ? std::string("-") : value;
      }
    }
    return std::string();
  }
  void go() { (void)!::write(input_, "go\n", 3); }
  // Seconds of CPU the program and the children it waited for used.
  double wait() {
    rusage usage{};
    if (pid_ > 0) ::wait4(pid_, nullptr, 0, &usage);
    pid_ = -1;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  FILE* output_ = nullptr;
};

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::unique_ptr<Quorvel::QVSamplerProcess> StartSampler(pid_t pid, double interval, double timeLimit = 0.0) {
  using namespace Quorvel;
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  config->timerConfig->interval = interval;
  config->timeLimitEnable = timeLimit > 0.0;
  config->timeLimit = timeLimit;
  auto sampler = std::make_unique<QVSamplerProcess>(config);
  const QVProcessId id = QVProcessLinux::updateProcessList(pid, false);
  if (!sampler->setTargetProcess(QVProcess::processWithId(id, false, false)) || !sampler->start()) return nullptr;
  return sampler;
}

// Busy (argument 1: 1) or sleeping (argument 1: 0) threads, as many as
// argument 0, sampled every millisecond for two seconds.
void BM_StacksAtOneMillisecond(benchmark::State& state) {
  const std::string threads = std::to_string(state.range(0));
  const bool busy = state.range(1) != 0;
  double stacks = 0;
  double seconds = 0;
  double cpu = 0;
  for (auto _ : state) {
    Child workload({QV_WORKLOAD_PROBE, busy ? "busy" : "sleep", threads, "600"});
    if (workload.valueOf("ready").empty()) {
      state.SkipWithError("the workload did not start");
      return;
    }
    const double cpuBefore = ProcessCpuSeconds();
    auto sampler = StartSampler(workload.pid(), 0.001);
    if (!sampler) {
      state.SkipWithError("the sampler did not start");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    sampler->stop();
    stacks += static_cast<double>(sampler->sampleCount());
    seconds += sampler->durationTime();
    cpu += ProcessCpuSeconds() - cpuBefore;
  }
  state.counters["stacks_per_s"] = stacks / seconds;
  state.counters["cpu_us_per_stack"] = 1e6 * cpu / stacks;
}
BENCHMARK(BM_StacksAtOneMillisecond)
    ->Args({1, 1})
    ->Args({4, 1})
    ->Args({16, 1})
    ->Args({16, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

// Sixteen busy threads: how far past a 1 s time limit sampling ended, and
// how long a stop request took to end it.
void BM_EndOfSamplingWithSixteenBusyThreads(benchmark::State& state) {
  double overshoot = 0;
  double stopping = 0;
  double rounds = 0;
  for (auto _ : state) {
    Child workload({QV_WORKLOAD_PROBE, "busy", "16", "600"});
    if (workload.valueOf("ready").empty()) {
      state.SkipWithError("the workload did not start");
      return;
    }
    auto limited = StartSampler(workload.pid(), 0.001, 1.0);
    if (!limited) {
      state.SkipWithError("the sampler did not start");
      return;
    }
    while (limited->isActive()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    overshoot += static_cast<double>(limited->durationTicks()) / 1e9 - 1.0;
    limited.reset();

    auto stopped = StartSampler(workload.pid(), 0.001);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto asked = Clock::now();
    stopped->stop();
    stopping += std::chrono::duration<double>(Clock::now() - asked).count();
    rounds += 1;
  }
  state.counters["limit_overshoot_ms"] = 1e3 * overshoot / rounds;
  state.counters["stop_ms"] = 1e3 * stopping / rounds;
}
BENCHMARK(BM_EndOfSamplingWithSixteenBusyThreads)->Unit(benchmark::kMillisecond)->Iterations(3);

// What one run of the fixed work cost: the seconds it took, and the CPU
// seconds the work and the profiler (this library's sampling thread, or
// perf with the kernel's sampling charged to the work) used together. On a
// machine that other work keeps busy the elapsed time follows the
// scheduler's share more than the profiler; the CPU time does not.
struct WorkCost {
  double seconds = -1.0;
  double cpuSeconds = 0.0;
  // This library's: stacks taken and seconds sampled.
  double stacks = 0.0;
  double sampled = 0.0;
};

// Unsampled, sampled by this library at `hertz`, or under perf record -g at
// `hertz`. Negative seconds when it failed.
WorkCost FixedWork(const char* tool, int hertz) {
  constexpr const char* kUnits = "40000";  // about a second of work per thread here
  std::vector<std::string> words{QV_WORKLOAD_PROBE, "fixed", "4", kUnits};
  const std::string perfData = "/tmp/qvbench-perf-" + std::to_string(::getpid()) + ".data";
  if (std::strcmp(tool, "perf") == 0) {
    words.insert(words.begin(), {"/usr/bin/perf", "record", "-q", "-g", "-F", std::to_string(hertz), "-o", perfData,
                                 "--"});
  }
  Child workload(words);
  if (workload.valueOf("ready").empty()) return WorkCost();
  std::unique_ptr<Quorvel::QVSamplerProcess> sampler;
  const double samplerCpuBefore = ProcessCpuSeconds();
  if (std::strcmp(tool, "qvprof") == 0 && !(sampler = StartSampler(workload.pid(), 1.0 / hertz))) return WorkCost();
  workload.go();
  const std::string elapsed = workload.valueOf("elapsed");
  WorkCost cost;
  if (sampler) {
    sampler->stop();
    cost.stacks = static_cast<double>(sampler->sampleCount());
    cost.sampled = sampler->durationTime();
  }
  cost.cpuSeconds = workload.wait() + ProcessCpuSeconds() - samplerCpuBefore;
  ::unlink(perfData.c_str());
  cost.seconds = elapsed.empty() ? -1.0 : std::atof(elapsed.c_str());
  return cost;
}

void BM_SlowdownOfFixedWorkBesidePerf(benchmark::State& state) {
  const int hertz = static_cast<int>(state.range(0));
  WorkCost bare;
  WorkCost qvprof;
  WorkCost perf;
  const auto add = [](WorkCost& sum, const WorkCost& one) {
    sum.seconds += one.seconds;
    sum.cpuSeconds += one.cpuSeconds;
    sum.stacks += one.stacks;
    sum.sampled += one.sampled;
  };
  bare.seconds = qvprof.seconds = perf.seconds = 0.0;
  for (auto _ : state) {
    const WorkCost b = FixedWork("none", hertz);
    const WorkCost q = FixedWork("qvprof", hertz);
    const WorkCost p = FixedWork("perf", hertz);
    if (b.seconds <= 0 || q.seconds <= 0) {
      state.SkipWithError("the workload failed");
      return;
    }
    if (p.seconds <= 0) {
      state.SkipWithError("perf record failed (is perf allowed here?)");
      return;
    }
    add(bare, b);
    add(qvprof, q);
    add(perf, p);
  }
  state.counters["bare_s"] = bare.seconds / static_cast<double>(state.iterations());
  state.counters["qvprof_slowdown_pct"] = 100.0 * (qvprof.seconds / bare.seconds - 1.0);
  state.counters["perf_slowdown_pct"] = 100.0 * (perf.seconds / bare.seconds - 1.0);
  state.counters["qvprof_cpu_pct"] = 100.0 * (qvprof.cpuSeconds / bare.cpuSeconds - 1.0);
  state.counters["perf_cpu_pct"] = 100.0 * (perf.cpuSeconds / bare.cpuSeconds - 1.0);
  // The rate reached: on a loaded machine a tick waits until every busy
  // thread has been scheduled to stop, and ticks missed meanwhile are
  // skipped.
  state.counters["qvprof_stacks_per_s"] = qvprof.sampled > 0 ? qvprof.stacks / qvprof.sampled : 0.0;
}
BENCHMARK(BM_SlowdownOfFixedWorkBesidePerf)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
