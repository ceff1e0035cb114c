// The qvprofile back-end against perf, side by side in one run:
// - BM_DecodeIntoTenures: one million buffered samples (eight-frame call
//   stacks, the driver's per-sample framing) decoded by the sampler from a
//   memory-mapped file into call-stack tenures of a registered thread.
// - BM_Workload/<profiler>: wall time of a fixed amount of CPU-bound work on
//   four threads while nothing, `qvprof record --driver qvprofile` or
//   `perf record -g -F 1000 -a` samples the whole system at 1 kHz with call
//   stacks. The slowdown of each is its time over the unprofiled time.
//   qvprof runs from QV_BENCH_QVPROF (default: build/tools/qvprof beside
//   this benchmark) and needs the driver installed (qvprof driver install).
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "config/QVSessionConfig.h"
#include "model/QVThread.h"
#include "system/QVFileUtils.h"
#include "system/QVTempFile.h"

using namespace Quorvel;

namespace {

constexpr uint64_t kSamples = 1000000;
constexpr uint64_t kIntervalNanos = 1000000;

// Exposes the sampler's decoding of file buffers.
class DecodingSampler : public QVSamplerLinuxQVProfile {
 public:
  using QVSamplerLinuxQVProfile::QVSamplerLinuxQVProfile;
  void decode(const std::vector<QVFileBufferId>& files) {
    QVSampler::_start();  // a fresh sample archiver
    _processSamples(files);
  }
};

std::shared_ptr<QVTempFile> writeStream(uint64_t pid, uint64_t tid, size_t& bytes) {
  QVDriverEventWriter w(true);
  for (uint64_t i = 0; i < kSamples; ++i) {
    const uint64_t end = (i + 1) * kIntervalNanos;
    w.control(OP_CPU_SWITCH_CODE, i & 1);
    w.control(OP_CTX_SWITCH_CODE, tid, pid);
    w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, end - kIntervalNanos);
    w.control(OP_TRACE_BEGIN_CODE);
    for (uint64_t frame = 0; frame < 8; ++frame) w.entry(0x400000 + frame * 0x100 + (i % 61), 0);
    w.control(OP_TRACE_END_CODE);
    w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, end);
  }
  std::shared_ptr<QVTempFile> file = QVTempFile::create(std::string(), "qvdecodebench");
  if (!file) return nullptr;
  FileWriteString(file->path(), std::string(w.bytes().begin(), w.bytes().end()));
  bytes = w.bytes().size();
  return file;
}

void BM_DecodeIntoTenures(benchmark::State& state) {
  // A driver root that only states the word size.
  char root[] = "/tmp/qvbenchrootXXXXXX";
  if (!mkdtemp(root)) {
    state.SkipWithError("no temporary directory");
    return;
  }
  FileWriteString(std::string(root) + "/pointer_size", "8\n");
  QVThread::updateThreadList(false);
  size_t bytes = 0;
  std::shared_ptr<QVTempFile> stream = writeStream(uint64_t(getpid()), uint64_t(syscall(SYS_gettid)), bytes);
  if (!stream) {
    state.SkipWithError("no temporary file");
    return;
  }
  QVFileBufferId file{stream, stream->path(), bytes / 8, kSamples, false};
  auto driver =
      std::make_shared<QVProfileDriverLinuxQVProfile>(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, root);
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
  for (auto _ : state) {
    DecodingSampler sampler(config, driver);
    sampler.decode({file});
    state.counters["tenures"] = double(sampler.sampleCount());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  FileRemove(std::string(root) + "/pointer_size");
  rmdir(root);
}
BENCHMARK(BM_DecodeIntoTenures)->Unit(benchmark::kMillisecond)->Iterations(3);

// A fixed amount of integer work per thread, out of the optimiser's reach.
void work(uint64_t rounds, std::atomic<uint64_t>& sink) {
  uint64_t x = 88172645463325252ull;
  for (uint64_t i = 0; i < rounds; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
  sink += x;
}

pid_t startProfiler(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

std::string qvprofPath() {
  if (const char* path = std::getenv("QV_BENCH_QVPROF")) return path;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "qvprof";
  self[n] = '\0';
  return PathDirectory(PathDirectory(self)) + "/tools/qvprof";
}

// 0: unprofiled, 1: qvprof with the qvprofile driver, 2: perf.
void BM_Workload(benchmark::State& state) {
  const int profiler = int(state.range(0));
  pid_t pid = -1;
  if (profiler == 1) {
    pid = startProfiler({qvprofPath(), "record", "--driver", "qvprofile", "--interval", "0.001", "-o",
                         "/tmp/qvbench.qvprof", "--", "sleep", "3600"});
  } else if (profiler == 2) {
    pid = startProfiler(
        {"perf", "record", "-g", "-F", "1000", "-a", "-o", "/tmp/qvbench.perf.data", "--", "sleep", "3600"});
  }
  // Both take a moment to set up; the work starts once sampling runs.
  if (pid > 0) std::this_thread::sleep_for(std::chrono::seconds(2));
  if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
    state.SkipWithError("the profiler ended before the work started");
    return;
  }
  std::atomic<uint64_t> sink{0};
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back(work, 400000000ull, std::ref(sink));
    for (std::thread& thread : threads) thread.join();
  }
  benchmark::DoNotOptimize(sink.load());
  if (pid > 0) {
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);
  }
  unlink("/tmp/qvbench.qvprof");
  unlink("/tmp/qvbench.perf.data");
}
BENCHMARK(BM_Workload)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("profiler")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

}  // namespace
