// Speed and memory of unique call-stack archiving on a recording-sized
// load: one million samples over 8 threads, 20-60 frames deep, with the
// sharing of real stacks (see SyntheticStacks.h).
//
//   bench_QVSampleArchiverBenchmark
//
// ArchiveMillion's time includes generating the stacks; GenerateMillion
// measures the generator alone, so archiving costs the difference. The
// bytes-per-sample counters are heap growth (mallinfo2) and resident-set
// growth (/proc/self/statm) while the samples are held, divided by the
// sample count; DecodeMillion measures the same for samples read back from
// their document, which is what a session file reader holds.

#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "SyntheticStacks.h"

namespace {

using namespace Quorvel;

constexpr int kSamples = 1000000;

uint64_t HeapInUse() { return mallinfo2().uordblks; }

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0;
  uint64_t resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// User-mode contexts of 8 threads of one process that no registry knows, so
// the frame trees get no symbol source and nothing is looked up.
std::vector<QVContext> Contexts(int threads) {
  const QVProcessId process = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 424242, 1);
  std::vector<QVContext> contexts;
  for (int t = 0; t < threads; ++t) {
    contexts.push_back(
        QVContext::uniqueContext(QVThreadId::uniqueThreadId(process, 424242 + t, 1), t % 4, QVContext::StateUser));
  }
  return contexts;
}

std::shared_ptr<QVUniqueCallStackTenureArchiver> ArchiveSamples(const std::vector<QVContext>& contexts) {
  bench::SyntheticStacks stacks{bench::SyntheticStacks::Shape()};
  auto archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
  std::vector<uint64_t> addresses;
  int thread = 0;
  for (int n = 0; n < kSamples; ++n) {
    stacks.next(thread, addresses);
    archiver->archive(contexts[static_cast<size_t>(thread)], static_cast<uint64_t>(n) * 1000,
                      static_cast<uint64_t>(n) * 1000 + 1000, addresses);
  }
  return archiver;
}

uint64_t UniqueFrames(const QVUniqueCallStackTenureArchiver& archiver) {
  uint64_t frames = 0;
  for (const auto& entry : archiver.userFrameArchivers()) {
    frames += static_cast<uint64_t>(entry.second->frameCount());
  }
  return frames;
}

void GenerateMillion(benchmark::State& state) {
  for (auto _ : state) {
    bench::SyntheticStacks stacks{bench::SyntheticStacks::Shape()};
    std::vector<uint64_t> addresses;
    int thread = 0;
    uint64_t frames = 0;
    for (int n = 0; n < kSamples; ++n) {
      stacks.next(thread, addresses);
      frames += addresses.size();
      benchmark::DoNotOptimize(addresses.data());
    }
    state.counters["frames"] = static_cast<double>(frames);
  }
}
BENCHMARK(GenerateMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

void ArchiveMillion(benchmark::State& state) {
  const std::vector<QVContext> contexts = Contexts(8);
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    const uint64_t heapBefore = HeapInUse();
    const uint64_t residentBefore = ResidentBytes();
    state.ResumeTiming();

    std::shared_ptr<QVUniqueCallStackTenureArchiver> archiver = ArchiveSamples(contexts);

    state.PauseTiming();
    state.counters["heap_bytes_per_sample"] = static_cast<double>(HeapInUse() - heapBefore) / kSamples;
    state.counters["rss_bytes_per_sample"] =
        static_cast<double>(static_cast<int64_t>(ResidentBytes() - residentBefore)) / kSamples;
    state.counters["unique_frames"] = static_cast<double>(UniqueFrames(*archiver));
    archiver.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(ArchiveMillion)->Unit(benchmark::kMillisecond)->Iterations(3);

void DecodeMillion(benchmark::State& state) {
  const std::vector<QVContext> contexts = Contexts(8);
  std::string document;
  {
    std::shared_ptr<QVUniqueCallStackTenureArchiver> archiver = ArchiveSamples(contexts);
    std::ostringstream stream;
    std::unique_ptr<QVArchiver> writer = QVArchiver::createArchiver(stream);
    writer->encodeObject(*archiver, "UniqueCallStacksV2");
    writer->finish();
    document = stream.str();
  }
  state.counters["document_bytes_per_sample"] = static_cast<double>(document.size()) / kSamples;
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    const uint64_t heapBefore = HeapInUse();
    const uint64_t residentBefore = ResidentBytes();
    state.ResumeTiming();

    std::shared_ptr<QVUniqueCallStackTenureArchiver> decoded;
    {
      std::istringstream stream(document);
      std::unique_ptr<QVUnarchiver> reader = QVUnarchiver::createUnarchiver(stream);
      reader->decodeObjectForKey("UniqueCallStacksV2", decoded);
    }

    state.PauseTiming();
    malloc_trim(0);
    state.counters["heap_bytes_per_sample"] = static_cast<double>(HeapInUse() - heapBefore) / kSamples;
    state.counters["rss_bytes_per_sample"] =
        static_cast<double>(static_cast<int64_t>(ResidentBytes() - residentBefore)) / kSamples;
    state.counters["samples"] = static_cast<double>(decoded->size());
    decoded.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(DecodeMillion)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
