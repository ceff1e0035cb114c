// qvprof import-perf and qvprof report against the perf tool on the same
// perf.data file, in one run: each benchmark runs the command as a user
// would and reports its wall time and peak resident memory.
//
// The file is QV_BENCH_PERF_DATA when set; otherwise one is recorded here
// with real perf (system-wide call stacks every 50 us of CPU time for 9 s
// while the example workload keeps both processors busy: about 350,000
// samples) and removed afterwards.
//
// Targets: import at least 5 times faster than `perf script` and under
// twice the file size resident; `qvprof report` at least as fast as
// `perf report --stdio --no-children`.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"

namespace {

struct Run {
  double seconds = 0.0;
  double maxResidentMiB = 0.0;
  int status = -1;
};

// Runs argv with its output on /dev/null; wall time and peak RSS.
Run runCommand(const std::vector<std::string>& argv) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  struct rusage usage = {};
  ::wait4(pid, &run.status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.maxResidentMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

std::string perfPath() { return Quorvel::QVProcessManager::defaultManager().findExe("perf"); }

class PerfData {
 public:
  PerfData() {
    if (const char* given = std::getenv("QV_BENCH_PERF_DATA")) {
      path_ = given;
      return;
    }
    const std::string perf = perfPath();
    if (perf.empty()) return;
    path_ = Quorvel::GetTempDirectory() + "/qvprof-bench-" + std::to_string(::getpid()) + ".data";
    owned_ = true;
    const pid_t busy = ::fork();
    if (busy == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::execl(QV_WORKLOAD_PATH, QV_WORKLOAD_PATH, "10", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    runCommand({perf, "record", "-q", "-a", "-g", "-e", "cpu-clock", "-c", "50000", "-o", path_, "--", "/bin/sleep",
                "9"});
    ::kill(busy, SIGTERM);
    ::waitpid(busy, nullptr, 0);
  }
  ~PerfData() {
    if (owned_) ::unlink(path_.c_str());
    if (!session_.empty()) ::unlink(session_.c_str());
  }
  const std::string& path() const { return path_; }
  const std::string& session() {
    if (session_.empty()) session_ = path_ + ".qvprof";
    return session_;
  }
  double fileMiB() const {
    struct stat status;
    return ::stat(path_.c_str(), &status) == 0 ? static_cast<double>(status.st_size) / (1024.0 * 1024.0) : 0.0;
  }

 private:
  std::string path_;
  std::string session_;
  bool owned_ = false;
};

PerfData& data() {
  static PerfData instance;
  return instance;
}

void report(benchmark::State& state, const Run& run) {
  state.SetIterationTime(run.seconds);
  state.counters["seconds"] = run.seconds;
  state.counters["max_rss_MiB"] = run.maxResidentMiB;
  state.counters["file_MiB"] = data().fileMiB();
  state.counters["rss_per_file_size"] = run.maxResidentMiB / data().fileMiB();
  if (run.status != 0) state.SkipWithError("the command failed");
}

void BM_QvprofImportPerf(benchmark::State& state) {
  if (data().path().empty()) return state.SkipWithError("no perf.data (perf missing)");
  for (auto _ : state) {
    report(state, runCommand({QV_QVPROF_PATH, "import-perf", data().path(), "-o", data().session()}));
  }
}

void BM_PerfScript(benchmark::State& state) {
  if (data().path().empty()) return state.SkipWithError("no perf.data (perf missing)");
  for (auto _ : state) report(state, runCommand({perfPath(), "script", "-i", data().path()}));
}

void BM_QvprofReport(benchmark::State& state) {
  if (data().path().empty()) return state.SkipWithError("no perf.data (perf missing)");
  for (auto _ : state) report(state, runCommand({QV_QVPROF_PATH, "report", data().session()}));
}

void BM_PerfReport(benchmark::State& state) {
  if (data().path().empty()) return state.SkipWithError("no perf.data (perf missing)");
  for (auto _ : state) {
    report(state, runCommand({perfPath(), "report", "--stdio", "--no-children", "-i", data().path()}));
  }
}

// Import first: the report benchmarks read the session it writes.
BENCHMARK(BM_QvprofImportPerf)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerfScript)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QvprofReport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerfReport)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
