// Write and read speed of the keyed archiver on documents shaped like a
// session file's call-stack samples, and the reader's peak memory.
//
//   bench_QVArchiverBenchmark --benchmark_filter='Write|Read/'
//   bench_QVArchiverBenchmark --benchmark_filter=ReadPeakMemory   (alone, so
//       that the peak resident size belongs to the reader)

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "archive/QVUniqueArchivable.h"
#include "base/QVException.h"

namespace {

using namespace Quorvel;

constexpr int kSamples = 1000000;
// A recording of a few dozen threads on a few processors has about this
// many distinct contexts; each is written once and referred to afterwards.
constexpr int kContexts = 64;

class Context : public QVUniqueArchivable, public QVUnarchivable {
 public:
  Context() = default;
  Context(uint64_t thread, int processor) : thread_(thread), processor_(processor) {}
  void encodeWithArchiver(QVArchiver* a) const override {
    a->encodeUnsigned(thread_, "ThreadId");
    a->encodeSigned(processor_, "Processor");
    a->encodeSigned(1, "State");
  }
  void decodeWithUnarchiver(QVUnarchiver* u) override {
    thread_ = u->decodeUnsigned("ThreadId");
    processor_ = static_cast<int>(u->decodeSigned("Processor"));
    state_ = static_cast<int>(u->decodeSigned("State"));
  }
  uint64_t thread_ = 0;
  int processor_ = 0;
  int state_ = 0;
};

class Sample : public QVArchivable, public QVUnarchivable {
 public:
  void encodeWithArchiver(QVArchiver* a) const override {
    a->encodeObject(*context_, "Context");
    a->encodeUnsigned(begin_, "TimeStamp");
    a->encodeUnsigned(end_, "EndTimeStamp");
    a->encodeSigned(leaf_, "FramesDesc");
  }
  void decodeWithUnarchiver(QVUnarchiver* u) override {
    u->decodeObjectForKey("Context", context_);
    begin_ = u->decodeUnsigned("TimeStamp");
    end_ = u->decodeUnsigned("EndTimeStamp");
    leaf_ = u->decodeSigned("FramesDesc");
  }
  std::shared_ptr<Context> context_;
  uint64_t begin_ = 0;
  uint64_t end_ = 0;
  int64_t leaf_ = 0;
};

struct Workload {
  std::vector<std::shared_ptr<Context>> contexts;
  std::vector<Sample> samples;
  Workload() {
    for (int i = 0; i < kContexts; ++i) {
      contexts.push_back(std::make_shared<Context>(0x10000 + i * 17, i % 8));
    }
    samples.resize(kSamples);
    uint64_t tick = 0x17f3a2b4c5d6ULL;
    for (int i = 0; i < kSamples; ++i) {
      Sample& s = samples[static_cast<size_t>(i)];
      s.context_ = contexts[static_cast<size_t>((i * 7) % kContexts)];
      s.begin_ = tick;
      tick += 1000000 + (i % 977);
      s.end_ = tick;
      s.leaf_ = (i * 131) % 50000;
    }
  }
};

const Workload& SharedWorkload() {
  static Workload workload;
  return workload;
}

void WriteDocument(std::ostream& stream, const Workload& workload, bool compress) {
  QVArchiver::Options options;
  options.compress = compress;
  std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream, options);
  archiver->beginList("CallStacks");
  for (const Sample& sample : workload.samples) {
    archiver->encodeObject(sample, "CallStack");
  }
  archiver->endList("CallStacks");
  archiver->finish();
}

// Reads every sample; keeps them only when asked, so that the reader's own
// memory can be told apart from the objects it produces.
size_t ReadDocument(std::istream& stream, std::vector<Sample>* keep) {
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  unarchiver->enterElement("CallStacks");
  size_t count = 0;
  Sample sample;
  while (unarchiver->hasValueForKey("CallStack")) {
    unarchiver->decodeObject("CallStack", sample);
    if (keep) keep->push_back(sample);
    ++count;
  }
  unarchiver->leaveElement("CallStacks");
  return count;
}

// Counts bytes and drops them: measures the archiver, not a disk.
class CountingBuffer : public std::streambuf {
 public:
  size_t count = 0;

 protected:
  std::streamsize xsputn(const char*, std::streamsize n) override {
    count += static_cast<size_t>(n);
    return n;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) ++count;
    return traits_type::not_eof(c);
  }
};

// Reads a string in place; an istringstream would copy the whole document
// inside the timed loop.
class MemoryBuffer : public std::streambuf {
 public:
  explicit MemoryBuffer(const std::string& text) {
    char* begin = const_cast<char*>(text.data());
    setg(begin, begin, begin + text.size());
  }
};

const std::string& Document(bool compress) {
  static std::string plain, compressed;
  std::string& document = compress ? compressed : plain;
  if (document.empty()) {
    std::ostringstream stream;
    WriteDocument(stream, SharedWorkload(), compress);
    document = stream.str();
  }
  return document;
}

void BM_Write(benchmark::State& state) {
  const bool compress = state.range(0) != 0;
  const Workload& workload = SharedWorkload();
  size_t bytes = 0;
  for (auto _ : state) {
    CountingBuffer buffer;
    std::ostream stream(&buffer);
    WriteDocument(stream, workload, compress);
    bytes = buffer.count;
  }
  // Throughput in bytes of XML produced, before compression.
  const size_t xmlBytes = Document(false).size();
  state.SetBytesProcessed(static_cast<int64_t>(xmlBytes) * state.iterations());
  state.counters["document_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_Write)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Read(benchmark::State& state) {
  const bool compress = state.range(0) != 0;
  const std::string& document = Document(compress);
  for (auto _ : state) {
    MemoryBuffer buffer(document);
    std::istream stream(&buffer);
    size_t count = ReadDocument(stream, nullptr);
    if (count != kSamples) state.SkipWithError("wrong sample count");
  }
  state.SetBytesProcessed(static_cast<int64_t>(Document(false).size()) * state.iterations());
}
BENCHMARK(BM_Read)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

long PeakResidentKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Streams the document through a temporary file so that neither writing nor
// holding it raises the peak; then the peak growth while reading is the
// reader's (samples are decoded into one reused object).
void BM_ReadPeakMemory(benchmark::State& state) {
  char path[] = "/tmp/qvarchiver-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("cannot create a temporary file");
    return;
  }
  close(fd);
  {
    // One sample object reused, so that making the document leaves no peak.
    std::vector<std::shared_ptr<Context>> contexts;
    for (int i = 0; i < kContexts; ++i) contexts.push_back(std::make_shared<Context>(0x10000 + i * 17, i % 8));
    std::ofstream out(path, std::ios::binary);
    std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(out);
    archiver->beginList("CallStacks");
    Sample sample;
    for (int i = 0; i < kSamples; ++i) {
      sample.context_ = contexts[static_cast<size_t>((i * 7) % kContexts)];
      sample.begin_ = 0x17f3a2b4c5d6ULL + static_cast<uint64_t>(i) * 1000977;
      sample.end_ = sample.begin_ + 1000000;
      sample.leaf_ = (i * 131) % 50000;
      archiver->encodeObject(sample, "CallStack");
    }
    archiver->endList("CallStacks");
    archiver->finish();
  }
  long before = PeakResidentKiB();
  size_t count = 0;
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    count = ReadDocument(in, nullptr);
  }
  long after = PeakResidentKiB();
  std::ifstream sized(path, std::ios::binary | std::ios::ate);
  state.counters["document_MB"] = static_cast<double>(sized.tellg()) / 1e6;
  std::remove(path);
  state.counters["samples"] = static_cast<double>(count);
  state.counters["peak_before_MiB"] = static_cast<double>(before) / 1024.0;
  state.counters["peak_growth_MiB"] = static_cast<double>(after - before) / 1024.0;
}
BENCHMARK(BM_ReadPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
