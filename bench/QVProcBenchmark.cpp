#include <benchmark/benchmark.h>

#include <string>
#include <unordered_set>

#include "proc/QVProcKallsymsParser.h"
#include "proc/QVTaskInfoLinux.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;

namespace {

// The kernel symbol table is the largest /proc text the library parses (over
// a hundred thousand lines); it is read once, outside the timed loop, so the
// figure is the parser's alone.
void BM_ParseKallsyms(benchmark::State& state) {
  std::string text;
  if (!FileReadString("/proc/kallsyms", text) || text.empty()) {
    state.SkipWithError("/proc/kallsyms is not readable here");
    return;
  }
  std::size_t functions = 0;
  for (auto _ : state) {
    functions = 0;
    std::size_t lines = QVProcKallsymsParser::forEach(
        text, [&functions](const QVProcKallsymsEntry& entry) { functions += entry.isFunction() ? 1 : 0; });
    benchmark::DoNotOptimize(lines);
  }
  state.counters["functions"] = static_cast<double>(functions);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseKallsyms)->Unit(benchmark::kMillisecond);

// The same with owned records, as a caller that keeps every symbol pays.
void BM_ParseKallsymsRecords(benchmark::State& state) {
  std::string text;
  if (!FileReadString("/proc/kallsyms", text) || text.empty()) {
    state.SkipWithError("/proc/kallsyms is not readable here");
    return;
  }
  for (auto _ : state) {
    auto result = QVProcKallsymsParser::parse(text);
    benchmark::DoNotOptimize(result.entries.data());
  }
}
BENCHMARK(BM_ParseKallsymsRecords)->Unit(benchmark::kMillisecond);

// A full discovery pass: every live thread, and a reader built for each (a
// process list refresh does this for every task it has not seen).
void BM_TaskInfoForEveryLiveTask(benchmark::State& state) {
  std::size_t tasks = 0;
  for (auto _ : state) {
    std::unordered_set<QVThreadId> threads;
    QVTaskInfoLinux::getThreadIds(threads, false);
    tasks = 0;
    for (const QVThreadId& thread : threads) {
      QVTaskInfoLinux info(thread.nativeIdentifier());
      benchmark::DoNotOptimize(info.startTime());
      ++tasks;
    }
  }
  state.counters["tasks"] = static_cast<double>(tasks);
}
BENCHMARK(BM_TaskInfoForEveryLiveTask)->Unit(benchmark::kMillisecond);

void BM_ListProcessIds(benchmark::State& state) {
  std::unordered_set<QVProcessId> processes;
  for (auto _ : state) {
    QVTaskInfoLinux::getProcessIds(processes, false);
  }
  state.counters["processes"] = static_cast<double>(processes.size());
}
BENCHMARK(BM_ListProcessIds)->Unit(benchmark::kMillisecond);

}  // namespace
