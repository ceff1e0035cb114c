// The HTML report of a million-sample session: merging the samples into a
// call tree, reducing it to the flame graph the page embeds, and writing the
// page; and the speedscope file of the same samples. The page's size is
// reported too: the browser's opening time follows it.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <sstream>
#include <vector>

#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "calltree/QVCallTree.h"
#include "htmlreport/QVFlameGraph.h"
#include "htmlreport/QVHtmlReport.h"
#include "htmlreport/QVThreadTimeline.h"
#include "ids/QVContext.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "samples/QVAbstractCallFrame.h"
#include "speedscope/QVSpeedscopeFile.h"
#include "SyntheticStacks.h"

using namespace Quorvel;

namespace {

constexpr size_t kSampleCount = 1000000;
constexpr int kThreadCount = 8;

// Samples of threads no process registry knows: frames merge by address,
// which is the call tree's cheapest key and so measures the report's own
// work rather than symbol lookups.
std::shared_ptr<QVUniqueCallStackTenureArchiver> Recording() {
  static std::shared_ptr<QVUniqueCallStackTenureArchiver> recording;
  if (recording) return recording;
  const QVSystemId system = QVSystemId::uniqueSystemId("qv-bench-html-report", "bench");
  const QVProcessId process = QVProcessId::uniqueProcessId(system, 4343, 1);
  std::vector<QVContext> contexts;
  for (int t = 0; t < kThreadCount; ++t) {
    contexts.push_back(
        QVContext::uniqueContext(QVThreadId::uniqueThreadId(process, 4343 + t, 1), t % 4, QVContext::StateUser));
  }
  bench::SyntheticStacks::Shape shape;
  shape.threads = kThreadCount;
  shape.hotPathProbability = 0.995;
  bench::SyntheticStacks generator(shape);
  recording = std::make_shared<QVUniqueCallStackTenureArchiver>();
  std::vector<uint64_t> addresses;
  int thread = 0;
  uint64_t tick = 1000000;
  for (size_t i = 0; i < kSampleCount; ++i, tick += 125000) {
    generator.next(thread, addresses);
    recording->archive(contexts[static_cast<size_t>(thread)], tick, tick + 2000, addresses);
  }
  return recording;
}

std::string Hex(uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

QVFlameGraph::Label AddressLabel(const QVCallTreeNode& node) {
  const QVAbstractCallFrame* frame = node.templateCallFrame();
  return {frame ? Hex(frame->address()) : "?", "app"};
}

void BM_HtmlReportOfOneMillionSamples(benchmark::State& state) {
  const auto recording = Recording();
  size_t pageBytes = 0;
  size_t nodes = 0;
  for (auto _ : state) {
    const QVCallTree tree(recording->samples(), QVCallTree::tree, QVCallTree::address);
    QVHtmlReport report("bench");
    report.setFlameGraph(QVFlameGraph::fromCallTree(*tree.rootNode(), AddressLabel, 1e-5));
    auto timeline = std::make_shared<QVThreadTimeline>(1000000, 1000000 + 125000ull * kSampleCount, 400);
    for (const auto& sample : recording->samples()) {
      timeline->addSample(sample->context().threadId().nativeIdentifier(), sample->endTick());
    }
    report.setTimeline(timeline);
    std::ostringstream page;
    report.write(page);
    pageBytes = page.str().size();
    nodes = report.flameGraph().nodes().size();
  }
  state.counters["page_KiB"] = static_cast<double>(pageBytes) / 1024;
  state.counters["flame_nodes"] = static_cast<double>(nodes);
  state.counters["samples_per_s"] =
      benchmark::Counter(static_cast<double>(kSampleCount), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_HtmlReportOfOneMillionSamples)->Unit(benchmark::kMillisecond);

void BM_SpeedscopeFileOfOneMillionSamples(benchmark::State& state) {
  const auto recording = Recording();
  size_t bytes = 0;
  std::vector<const QVAbstractCallFrame*> frames;
  std::vector<uint32_t> stack;
  for (auto _ : state) {
    QVSpeedscopeFile file("bench");
    file.beginProfile("all threads");
    // Names are made once per address, as qvprof's export does.
    std::unordered_map<uint64_t, uint32_t> indices;
    for (const auto& sample : recording->samples()) {
      sample->getFrames(frames);
      stack.clear();
      for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        auto found = indices.find((*it)->address());
        if (found == indices.end()) {
          found = indices.emplace((*it)->address(), file.frameIndex({Hex((*it)->address()), "app"})).first;
        }
        stack.push_back(found->second);
      }
      file.addSample(stack);
    }
    std::ostringstream out;
    file.write(out);
    bytes = out.str().size();
  }
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_SpeedscopeFileOfOneMillionSamples)->Unit(benchmark::kMillisecond);

}  // namespace
