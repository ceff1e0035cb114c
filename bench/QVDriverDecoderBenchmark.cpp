// Decoding speed of driver event-stream file buffers: one million buffered
// samples (eight-frame call stacks, the driver's per-sample framing) written
// to a temporary file, memory-mapped and decoded into samples.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverChunkScan.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverSampleDecoder.h"

using namespace Quorvel;

namespace {

constexpr uint64_t kSamples = 1000000;
constexpr uint64_t kIntervalNanos = 1000000;

/// The file buffer shared by the benchmarks, removed at exit.
class StreamFile {
 public:
  StreamFile() {
    QVDriverEventWriter w(true);
    for (uint64_t i = 0; i < kSamples; ++i) {
      const uint64_t end = (i + 1) * kIntervalNanos;
      w.control(OP_CPU_SWITCH_CODE, i & 1);
      w.control(OP_CTX_SWITCH_CODE, 1000 + (i & 3), 1000);
      w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, end - kIntervalNanos);
      w.control(OP_TRACE_BEGIN_CODE);
      for (uint64_t frame = 0; frame < 8; ++frame) w.entry(0x400000 + frame * 0x100 + (i % 61), 0);
      w.control(OP_TRACE_END_CODE);
      w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, end);
    }
    char name[] = "/tmp/qvdecodebenchXXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    const std::vector<unsigned char>& bytes = w.bytes();
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    if (fd >= 0) close(fd);
    bytes_ = bytes.size();
  }
  ~StreamFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }
  size_t bytes() const { return bytes_; }

 private:
  std::string path_;
  size_t bytes_ = 0;
};

const StreamFile& streamFile() {
  static StreamFile file;
  return file;
}

void BM_DecodeMillionSamples(benchmark::State& state) {
  const StreamFile& file = streamFile();
  for (auto _ : state) {
    std::string error;
    auto cursor = QVDriverBufferCursorMapped::open(file.path(), true, error);
    if (!cursor) {
      state.SkipWithError(error.c_str());
      return;
    }
    QVDriverSampleDecoder decoder(
        2, kIntervalNanos, [](QVDriverSampleDecoder::Level, const std::string&) {},
        [](uint64_t, uint64_t) { return true; });
    uint64_t processed = 0;
    decoder.decode(*cursor, true, processed);
    decoder.finish();
    benchmark::DoNotOptimize(decoder.samples().data());
    state.counters["samples"] = double(decoder.samples().size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.bytes()));
}
BENCHMARK(BM_DecodeMillionSamples)->Unit(benchmark::kMillisecond);

void BM_ChunkScanMillionSamples(benchmark::State& state) {
  const StreamFile& file = streamFile();
  std::string error;
  auto cursor = QVDriverBufferCursorMapped::open(file.path(), true, error);
  if (!cursor) {
    state.SkipWithError(error.c_str());
    return;
  }
  // The reading thread's per-chunk accounting over the same words.
  std::vector<unsigned char> words(file.bytes());
  uint64_t word;
  size_t at = 0;
  while (cursor->nextRecord(word)) {
    std::memcpy(&words[at], &word, 8);
    at += 8;
  }
  for (auto _ : state) {
    QVDriverChunkScan scan = QVDriverChunkScan::scan(words.data(), words.size() / 8, true);
    benchmark::DoNotOptimize(scan.samples);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.bytes()));
}
BENCHMARK(BM_ChunkScanMillionSamples)->Unit(benchmark::kMillisecond);

}  // namespace
