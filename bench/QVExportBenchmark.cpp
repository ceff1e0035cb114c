// Exports of a session of one million call-stack samples (8 threads, stacks
// of 20 to 60 frames sharing their outer parts, symbols resolved through a
// synthetic module): folded stacks, the gzipped pprof profile, the call
// tree as JSON, and the trace-event JSON of the first 100,000 samples. Each
// runs once on the same samples; items are samples.
//
// Beside them, the tool a user would otherwise pick: `perf script` over a
// perf.data file recorded from the example workload, the first step of
// every perf-based flame graph. It is measured in the same run in samples
// per second of its processor time, and skipped when perf cannot record
// here. Ours are per second of processor time too (the machine that runs
// them is usually busy).
//
// Targets: folded and pprof under 3 s for the million samples (above
// 300,000 samples/s), faster per sample than perf script.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "export/QVCallTreeJson.h"
#include "export/QVFoldedStacks.h"
#include "export/QVPprofExporter.h"
#include "export/QVTraceExporter.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "SyntheticStacks.h"
#include "SyntheticWorld.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;

namespace {

constexpr size_t kSampleCount = 1000000;
constexpr size_t kTraceSampleCount = 100000;
constexpr int kThreadCount = 8;

// Counts what is written and keeps nothing: the exports' own cost, not the
// disk's.
class CountingBuffer : public std::streambuf {
 public:
  size_t bytes() const { return bytes_; }

 protected:
  int overflow(int c) override {
    ++bytes_;
    return c == EOF ? 0 : c;
  }
  std::streamsize xsputn(const char*, std::streamsize count) override {
    bytes_ += static_cast<size_t>(count);
    return count;
  }

 private:
  size_t bytes_ = 0;
};

struct Recording {
  std::shared_ptr<QVSessionProfile> profile;
  QVCallTree::TenureList samples;
};

const Recording& recording() {
  static const Recording shared = [] {
    Recording made;
    const bench::SyntheticWorld world = bench::BuildWorld("qv-bench-export", kThreadCount);
    auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
    bench::SyntheticStacks::Shape shape;
    shape.threads = kThreadCount;
    shape.hotPathProbability = 0.995;  // recorded programs repeat their stacks
    bench::SyntheticStacks generator{shape};
    std::vector<uint64_t> addresses;
    int thread = 0;
    uint64_t tick = 0;
    for (size_t i = 0; i < kSampleCount; ++i) {
      generator.next(thread, addresses);
      tick += 125000;  // 8 threads sampled every millisecond
      archiver->archive(world.contexts[static_cast<size_t>(thread)], tick, tick + 2000, addresses);
    }
    made.profile = std::make_shared<QVSessionProfile>(
        std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer),
        boost::posix_time::microsec_clock::universal_time(), boost::posix_time::microsec_clock::universal_time(),
        false, true);
    made.profile->setCallStackData(std::make_shared<QVSessionDataCallStackTenures>(archiver));
    made.samples = made.profile->callStackData()->samples();
    return made;
  }();
  return shared;
}

void Finish(benchmark::State& state, size_t samples, size_t bytes) {
  state.SetItemsProcessed(static_cast<int64_t>(samples) * state.iterations());
  state.counters["output_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_FoldedOneMillionSamples(benchmark::State& state) {
  const Recording& r = recording();
  size_t bytes = 0;
  for (auto _ : state) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    const QVFoldedStacks folded(r.samples, QVCallTree::symbol);
    folded.write(out);
    bytes = buffer.bytes();
    state.counters["stacks"] = static_cast<double>(folded.stacks().size());
  }
  Finish(state, r.samples.size(), bytes);
}

void BM_PprofOneMillionSamples(benchmark::State& state) {
  const Recording& r = recording();
  size_t bytes = 0;
  for (auto _ : state) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    QVPprofExporter(*r.profile, r.samples).write(out);
    bytes = buffer.bytes();
  }
  Finish(state, r.samples.size(), bytes);
}

void BM_ReportJsonOneMillionSamples(benchmark::State& state) {
  const Recording& r = recording();
  size_t bytes = 0;
  for (auto _ : state) {
    const QVCallTree tree(r.samples, QVCallTree::tree, QVCallTree::symbol);
    bytes = QVCallTreeJson::build(tree, QVCallTreeJson::Options()).dump().size();
  }
  Finish(state, r.samples.size(), bytes);
}

void BM_TraceHundredThousandSamples(benchmark::State& state) {
  const Recording& r = recording();
  const QVCallTree::TenureList first(r.samples.begin(), r.samples.begin() + kTraceSampleCount);
  size_t bytes = 0;
  for (auto _ : state) {
    CountingBuffer buffer;
    std::ostream out(&buffer);
    QVTraceExporter(*r.profile, first, QVSampleFilter()).write(out);
    bytes = buffer.bytes();
  }
  Finish(state, first.size(), bytes);
}

// The processor time of the children waited for so far, user and system.
double ChildCpuSeconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// perf's own path from samples to text: `perf script` over a recording of
// the example workload with call graphs.
void BM_PerfScript(benchmark::State& state) {
  const std::string directory = GetTempDirectory();
  const std::string data = directory + "/qv-bench-export-" + std::to_string(::getpid()) + ".data";
  const std::string record = "perf record -q -g -F 999 -o " + data + " -- " QV_WORKLOAD_PATH " 2 >/dev/null 2>&1";
  if (std::system(record.c_str()) != 0) {
    std::remove(data.c_str());
    state.SkipWithError("perf cannot record here");
    return;
  }
  // perf prints one header line per sample.
  const std::string count = "perf script -i " + data + " -F comm 2>/dev/null | wc -l";
  size_t samples = 0;
  if (FILE* pipe = ::popen(count.c_str(), "r")) {
    unsigned long long lines = 0;
    if (std::fscanf(pipe, "%llu", &lines) == 1) samples = static_cast<size_t>(lines);
    ::pclose(pipe);
  }
  const std::string script = "perf script -i " + data + " >/dev/null 2>&1";
  for (auto _ : state) {
    const double before = ChildCpuSeconds();
    if (std::system(script.c_str()) != 0) state.SkipWithError("perf script failed");
    state.SetIterationTime(ChildCpuSeconds() - before);
  }
  std::remove(data.c_str());
  Finish(state, samples, 0);
  state.counters["samples"] = static_cast<double>(samples);
}

const bool kRegistered = [] {
  benchmark::RegisterBenchmark("BM_FoldedOneMillionSamples", BM_FoldedOneMillionSamples)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_PprofOneMillionSamples", BM_PprofOneMillionSamples)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ReportJsonOneMillionSamples", BM_ReportJsonOneMillionSamples)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_TraceHundredThousandSamples", BM_TraceHundredThousandSamples)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  // perf works in a child: its processor time is the child's, which the
  // machine's load inflates no more than ours.
  benchmark::RegisterBenchmark("BM_PerfScript", BM_PerfScript)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
