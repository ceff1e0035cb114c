// A session file of one million call-stack samples (8 threads, stacks of
// 20 to 60 frames sharing their outer parts): archiving, writing plain and
// compressed, reading back with empty registries, and a symbol-granularity
// call tree from what was read. The stages run once each, in order, on one
// shared recording; the counters give the file size and the memory the
// decoded samples hold, per sample.
//
// Targets: write under 3 s, read under 5 s, under 150 bytes per sample in
// the uncompressed file, under 200 bytes per sample resident after reading,
// the call tree under 2 s.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "calltree/QVCallTree.h"
#include "config/QVSessionConfig.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "SyntheticStacks.h"
#include "SyntheticWorld.h"
#include "system/QVFileUtils.h"
#include "time/QVTime.h"

using namespace Quorvel;

namespace {

constexpr size_t kSampleCount = 1000000;
constexpr int kThreadCount = 8;

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

size_t HeapBytesInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

size_t FileBytes(const std::string& path) {
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  return stream ? static_cast<size_t>(stream.tellg()) : 0;
}

using bench::FlushRegistries;
using bench::SyntheticWorld;

SyntheticWorld BuildWorld() { return bench::BuildWorld("qv-bench-session-file", kThreadCount); }

// The stages share one recording, made by the first.
struct Shared {
  std::string directory;
  std::string plainPath;
  std::string compressedPath;
  std::shared_ptr<QVSessionProfile> recorded;
  std::shared_ptr<QVSessionProfile> read;
};

Shared& shared() {
  static Shared state;
  return state;
}

// The generator's default shape leaves its hot path one call in ten, which
// over 40 frames makes nearly every sample's inner part new (about nine new
// frames per sample). Recorded programs repeat themselves far more; this
// shape keeps the hot path 199 times in 200.
bench::SyntheticStacks::Shape HeavilySharedShape() {
  bench::SyntheticStacks::Shape shape;
  shape.threads = kThreadCount;
  shape.hotPathProbability = 0.995;
  return shape;
}

void BM_ArchiveOneMillionSamples(benchmark::State& state) {
  const SyntheticWorld world = BuildWorld();
  std::shared_ptr<QVUniqueCallStackTenureArchiver> archiver;
  uint64_t frames = 0;
  for (auto _ : state) {
    archiver = std::make_shared<QVUniqueCallStackTenureArchiver>();
    bench::SyntheticStacks generator{HeavilySharedShape()};
    uint64_t tick = TimeNanos();
    std::vector<uint64_t> addresses;
    int thread = 0;
    for (size_t i = 0; i < kSampleCount; ++i) {
      generator.next(thread, addresses);
      frames += addresses.size();
      tick += 125000;  // 8 threads sampled every millisecond
      archiver->archive(world.contexts[static_cast<size_t>(thread)], tick, tick + 2000, addresses);
    }
  }
  uint64_t uniqueFrames = 0;
  for (const auto& entry : archiver->userFrameArchivers()) {
    uniqueFrames += static_cast<uint64_t>(entry.second->frameCount());
  }
  auto data = std::make_shared<QVSessionDataCallStackTenures>(archiver);
  auto profile = std::make_shared<QVSessionProfile>(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer),
                                                    boost::posix_time::microsec_clock::universal_time(),
                                                    boost::posix_time::microsec_clock::universal_time(), false, true);
  profile->setCallStackData(data);
  shared().recorded = profile;
  state.counters["samples"] = static_cast<double>(archiver->size());
  state.counters["frames_per_sample"] = static_cast<double>(frames) / static_cast<double>(kSampleCount);
  state.counters["unique_frames"] = static_cast<double>(uniqueFrames);
}

void BM_WriteSessionFile(benchmark::State& state) {
  Shared& s = shared();
  if (!s.recorded) {
    state.SkipWithError("no recording");
    return;
  }
  for (auto _ : state) {
    QVSessionFile::write(*s.recorded, s.plainPath);
  }
  const size_t bytes = FileBytes(s.plainPath);
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["bytes_per_sample"] = static_cast<double>(bytes) / static_cast<double>(kSampleCount);
}

void BM_WriteSessionFileCompressed(benchmark::State& state) {
  Shared& s = shared();
  if (!s.recorded) {
    state.SkipWithError("no recording");
    return;
  }
  for (auto _ : state) {
    QVSessionFile::write(*s.recorded, s.compressedPath, true);
  }
  const size_t bytes = FileBytes(s.compressedPath);
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["bytes_per_sample"] = static_cast<double>(bytes) / static_cast<double>(kSampleCount);
}

void BM_ReadSessionFile(benchmark::State& state) {
  Shared& s = shared();
  if (FileBytes(s.plainPath) == 0) {
    state.SkipWithError("no file");
    return;
  }
  // A fresh reader: nothing of the recording left in memory or registries.
  s.recorded.reset();
  FlushRegistries();
  ::malloc_trim(0);
  const size_t heapBefore = HeapBytesInUse();
  const size_t residentBefore = ResidentBytes();
  for (auto _ : state) {
    s.read = QVSessionFile::read(s.plainPath);
  }
  ::malloc_trim(0);
  const size_t samples = s.read && s.read->callStackData() ? s.read->callStackData()->size() : 0;
  if (samples != kSampleCount) {
    state.SkipWithError("the file did not read back every sample");
    return;
  }
  const double perSample = 1.0 / static_cast<double>(kSampleCount);
  state.counters["heap_bytes_per_sample"] = static_cast<double>(HeapBytesInUse() - heapBefore) * perSample;
  state.counters["rss_bytes_per_sample"] =
      static_cast<double>(static_cast<long long>(ResidentBytes()) - static_cast<long long>(residentBefore)) *
      perSample;
}

void BM_CallTreeBySymbol(benchmark::State& state) {
  Shared& s = shared();
  if (!s.read || !s.read->callStackData()) {
    state.SkipWithError("nothing read");
    return;
  }
  const QVCallTree::TenureList& samples = s.read->callStackData()->samples();
  size_t threads = 0;
  for (auto _ : state) {
    QVCallTree tree(samples, QVCallTree::tree, QVCallTree::symbol);
    std::unordered_set<QVThreadId> ids;
    tree.getThreadIds(ids);
    threads = ids.size();
  }
  state.counters["threads"] = static_cast<double>(threads);
}

void SetUpFiles() {
  Shared& s = shared();
  s.directory = GetTempDirectory() + "/qv-session-bench-" + std::to_string(::getpid());
  ::mkdir(s.directory.c_str(), 0700);
  s.plainPath = s.directory + "/session.qvs";
  s.compressedPath = s.directory + "/session.qvs.gz";
}

void RemoveFiles() {
  Shared& s = shared();
  std::remove(s.plainPath.c_str());
  std::remove(s.compressedPath.c_str());
  ::rmdir(s.directory.c_str());
}

// Registered in the order they must run.
const bool kRegistered = [] {
  SetUpFiles();
  std::atexit(RemoveFiles);
  benchmark::RegisterBenchmark("BM_ArchiveOneMillionSamples", BM_ArchiveOneMillionSamples)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_WriteSessionFile", BM_WriteSessionFile)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_WriteSessionFileCompressed", BM_WriteSessionFileCompressed)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ReadSessionFile", BM_ReadSessionFile)->Iterations(1)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_CallTreeBySymbol", BM_CallTreeBySymbol)->Iterations(1)->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
