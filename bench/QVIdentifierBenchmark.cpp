// Context interning on the sampling path: every decoded sample looks up its
// context, so lookups of contexts that already exist dominate, from one
// collect thread or several.

#include <atomic>
#include <vector>

#include <benchmark/benchmark.h>

#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"

namespace Quorvel {
namespace {

// A busy machine: 256 threads seen on 8 processors in 2 modes.
constexpr int kThreads = 256;
constexpr int kProcessors = 8;
constexpr int kStates = 2;
constexpr int kContexts = kThreads * kProcessors * kStates;

const std::vector<QVThreadId>& ExistingThreads() {
  static const std::vector<QVThreadId> threads = [] {
    const QVProcessId process = QVProcessId::uniqueProcessId(QVSystemId::uniqueSystemId("bench", "bench"), 100, 1);
    std::vector<QVThreadId> made;
    for (int t = 0; t < kThreads; ++t) {
      made.push_back(QVThreadId::uniqueThreadId(process, 100 + t, 1));
      for (int cpu = 0; cpu < kProcessors; ++cpu) {
        for (int state = 1; state <= kStates; ++state) {
          QVContext::uniqueContext(made.back(), cpu, state);
        }
      }
    }
    return made;
  }();
  return threads;
}

void BM_LookupExistingContext(benchmark::State& state) {
  const std::vector<QVThreadId>& threads = ExistingThreads();
  // Threads start at different keys so they do not march through the same
  // shards in lockstep.
  unsigned key = static_cast<unsigned>(state.thread_index()) * 7919u;
  for (auto _ : state) {
    key = (key + 1) % kContexts;
    const QVContext context =
        QVContext::uniqueContext(threads[key / (kProcessors * kStates)], (key / kStates) % kProcessors, 1 + key % kStates);
    benchmark::DoNotOptimize(context);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupExistingContext)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

// Processor indices past any real machine's, so each context made is new.
std::atomic<int> nextNewProcessor{kProcessors};

void BM_CreateNewContext(benchmark::State& state) {
  const std::vector<QVThreadId>& threads = ExistingThreads();
  for (auto _ : state) {
    const int index = nextNewProcessor.fetch_add(1, std::memory_order_relaxed);
    const QVContext context = QVContext::uniqueContext(threads[static_cast<size_t>(index) % kThreads], index, 1);
    benchmark::DoNotOptimize(context);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateNewContext)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace Quorvel
