#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "DiffCommand.h"
#include "DriverCatalog.h"
#include "export/QVCallTreeJson.h"
#include "export/QVFoldedStacks.h"
#include "ExportCommand.h"
#include "ReportCommand.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "SessionSamples.h"
#include "support/ElfProbes.h"
#include "support/QvprofRun.h"
#include "symbols/elf/QVElfImage.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace qvprof {
namespace {

using nlohmann::json;
using test::ExportSession;

// The golden session's samples (ExportSession::golden): 12 in all, 11 with
// frames, self counts per function below.
const std::map<std::string, uint64_t> kGoldenSelf = {{"qv_export_lex", 3},  {"qv_export_parse", 2},
                                                     {"qv_export_draw", 4}, {"qv_export_render", 1},
                                                     {"qv_export_main", 1}};

std::string Export(const std::string& path, ExportCommand::Options options) {
  std::ostringstream out;
  EXPECT_TRUE(ExportCommand::writeExport(out, SessionSamples(path), options));
  return out.str();
}

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.file("golden.qvprof");
    ExportSession::write(path_, ExportSession::golden(), true);
  }

  test::ScratchDirectory scratch_{"qvexport"};
  std::string path_;
};

TEST_F(ExportTest, FoldedMatchesTheCheckedInFileAndCountsEverySample) {
  ExportCommand::Options options;
  const std::string folded = Export(path_, options);
  EXPECT_EQ(test::ReadWholeFile(QV_TEST_DATA_DIR "/export/golden.folded"), folded);
  uint64_t sum = 0;
  std::istringstream lines(folded);
  std::string line;
  while (std::getline(lines, line)) sum += std::stoull(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(12u, sum);

  // A filter that matches nobody writes nothing; one that matches all
  // changes nothing.
  const int64_t pid = ExportSession::processId();
  const int64_t tid = ExportSession::threadId();
  const struct {
    int64_t processId, threadId;
    bool matches;
  } filters[] = {{999999999, -1, false}, {-1, 999999999, false}, {pid, 999999999, false},
                 {999999999, tid, false}, {pid, -1, true},         {-1, tid, true},
                 {pid, tid, true}};
  for (const auto& filter : filters) {
    options.filter.processId = filter.processId;
    options.filter.threadId = filter.threadId;
    std::ostringstream out;
    EXPECT_EQ(filter.matches, ExportCommand::writeExport(out, SessionSamples(path_), options))
        << filter.processId << "/" << filter.threadId;
    EXPECT_EQ(filter.matches ? folded : "", out.str()) << filter.processId << "/" << filter.threadId;
  }
}

// Walks a report document without recursion and checks that every node's
// total holds its own samples and its children's.
void CheckReportNode(const json& root, uint64_t& nodes, std::map<std::string, uint64_t>& self) {
  std::vector<const json*> pending = {&root};
  while (!pending.empty()) {
    const json& node = *pending.back();
    pending.pop_back();
    uint64_t children = 0;
    if (node.contains("children")) {
      for (const json& child : node.at("children")) {
        children += child.at("total").get<uint64_t>();
        pending.push_back(&child);
      }
    }
    if (node.contains("name")) {
      ++nodes;
      self[node.at("name").get<std::string>()] += node.at("self").get<uint64_t>();
      EXPECT_TRUE(node.at("module").is_string());
      if (!node.value("truncated", false)) {
        EXPECT_EQ(node.at("total").get<uint64_t>(), node.at("self").get<uint64_t>() + children) << node.dump();
      }
    }
  }
}

TEST_F(ExportTest, ReportJsonRoundTripsWithTheTreesCountsAndNestsNoDeeperThanTheBound) {
  ReportCommand::Options options;
  options.json = true;
  options.minPercent = 0.0;
  std::ostringstream out;
  ASSERT_TRUE(ReportCommand::writeReport(out, SessionSamples(path_), options));
  const json document = json::parse(out.str());
  EXPECT_EQ(12u, document.at("samples").get<uint64_t>());
  EXPECT_EQ(1u, document.at("threads").get<uint64_t>());
  EXPECT_EQ("tree", document.at("topology"));
  EXPECT_EQ(11u, document.at("total").get<uint64_t>()) << "the sample without frames weighs nothing";
  uint64_t nodes = 0;
  std::map<std::string, uint64_t> self;
  CheckReportNode(document, nodes, self);
  EXPECT_EQ(5u, nodes) << "main; parse, lex; render, draw";
  for (const auto& expected : kGoldenSelf) {
    bool found = false;
    for (const auto& entry : self) {
      if (entry.first.rfind(expected.first + " (", 0) == 0) {
        EXPECT_EQ(expected.second, entry.second) << entry.first;
        found = true;
      }
    }
    EXPECT_TRUE(found) << expected.first;
  }

  // main calling itself 20,000 times: deeper than the document may nest.
  ExportSession::Stack deep{std::vector<ExportSession::Function>(20000, qv_export_main), 2};
  ExportSession::write(path_, {deep});
  std::ostringstream deepOut;
  ASSERT_TRUE(ReportCommand::writeReport(deepOut, SessionSamples(path_), options));
  const json deepDocument = json::parse(deepOut.str());
  size_t depth = 0;
  const json* node = &deepDocument;
  while (node->contains("children") && !node->at("children").empty()) {
    node = &node->at("children").front();
    ++depth;
    EXPECT_EQ(2u, node->at("total").get<uint64_t>());
  }
  EXPECT_EQ(QVCallTreeJson::MaxDepth, depth);
  EXPECT_TRUE(node->value("truncated", false));
}

TEST_F(ExportTest, TraceHoldsOneTrackPerThreadWithSamplesTenuresAndSystemCalls) {
  ExportCommand::Options options;
  options.format = ExportCommand::Format::trace;
  const json trace = json::parse(Export(path_, options));
  ASSERT_TRUE(trace.at("traceEvents").is_array());
  const json& frames = trace.at("stackFrames");
  const int64_t pid = ExportSession::processId();
  const int64_t tid = ExportSession::threadId();
  std::map<std::string, int> byKind;
  double lastTs = 0.0;
  bool named = false;
  for (const json& event : trace.at("traceEvents")) {
    // Fields every event of the format carries.
    for (const char* field : {"name", "ph", "pid", "tid"}) ASSERT_TRUE(event.contains(field)) << event.dump();
    const std::string ph = event.at("ph");
    if (ph == "M") {
      named = named || (event.at("name") == "thread_name" && event.at("tid") == tid &&
                        !event.at("args").at("name").get<std::string>().empty());
      continue;
    }
    EXPECT_EQ(pid, event.at("pid").get<int64_t>());
    EXPECT_EQ(tid, event.at("tid").get<int64_t>());
    const double ts = event.at("ts").get<double>();
    EXPECT_GE(ts, lastTs) << "events come in time order";
    lastTs = ts;
    if (ph == "i") {
      EXPECT_EQ("t", event.at("s"));
      ++byKind["sample"];
      if (!event.contains("sf")) {
        EXPECT_EQ("[no frames]", event.at("name"));
        continue;
      }
      // The stack, innermost first, through the parents of the frame table.
      std::vector<std::string> stack;
      for (std::string id = event.at("sf"); !id.empty();) {
        const json& frame = frames.at(id);
        stack.push_back(frame.at("name"));
        id = frame.value("parent", std::string());
        ASSERT_LT(stack.size(), 10u) << "parents must not loop";
      }
      EXPECT_EQ(event.at("name"), stack.front());
      EXPECT_EQ("qv_export_main", stack.back());
    } else {
      ASSERT_EQ("X", ph);
      EXPECT_GT(event.at("dur").get<double>(), 0.0);
      ++byKind[event.at("cat").get<std::string>()];
    }
  }
  EXPECT_TRUE(named) << "the thread's track has a name";
  EXPECT_EQ(12, byKind["sample"]);
  EXPECT_EQ(12, byKind["sched"]) << "one running tenure per sample";
  EXPECT_EQ(3, byKind["syscall"]) << "every fourth sample made a call";
}

TEST_F(ExportTest, GoToolPprofReadsTheProfileWithTheReportsCounts) {
  int status = 0;
  test::RunCommand("go version", &status);
  if (status != 0) GTEST_SKIP() << "the Go toolchain is not installed (scripts/install-test-deps)";
  const std::string profile = scratch_.file("golden.pb.gz");
  const test::ProgramResult exported = test::RunQvprof({"export", path_, "--format", "pprof", "-o", profile});
  ASSERT_EQ(0, exported.status) << exported.err;
  test::ScopedEnvironment home("HOME", scratch_.path().c_str());

  // "-top" by sample count: "flat flat% sum% cum cum% name" rows.
  const std::string top = test::RunCommand(
      "go tool pprof -top -nodecount=100 -sample_index=samples " + test::ShellQuote(profile) + " 2>&1", &status);
  ASSERT_EQ(0, status) << top;
  std::map<std::string, std::pair<uint64_t, uint64_t>> rows;  // name -> flat, cum
  const std::regex row(R"(^\s*(\d+)\s+\S+%\s+\S+%\s+(\d+)\s+\S+%\s+(\S+)\s*$)");
  std::istringstream lines(top);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (std::regex_match(line, match, row)) rows[match[3]] = {std::stoull(match[1]), std::stoull(match[2])};
  }
  for (const auto& expected : kGoldenSelf) {
    ASSERT_TRUE(rows.count(expected.first)) << top;
    EXPECT_EQ(expected.second, rows[expected.first].first) << expected.first;
  }
  EXPECT_EQ(11u, rows["qv_export_main"].second) << "main is on every stack with frames";
  EXPECT_EQ(5u, rows["qv_export_render"].second) << "its own 1 and draw's 4";

  // CPU time is the default sample type: a sample stands for the 1 ms
  // timer interval. The first mapping is this test program, with the
  // build id its file carries.
  const std::string cpu = test::RunCommand("go tool pprof -top " + test::ShellQuote(profile) + " 2>&1", &status);
  ASSERT_EQ(0, status) << cpu;
  EXPECT_TRUE(std::regex_search(cpu, std::regex(R"(\n\s*3ms\s+25\.00%\s+\S+\s+3ms\s+25\.00%\s+qv_export_lex\n)"))) << cpu;
  EXPECT_NE(std::string::npos, cpu.find("Duration: 13ms")) << cpu;
  const QVElfImage self(OwnExecutable());
  ASSERT_FALSE(self.buildId().empty());
  EXPECT_NE(std::string::npos, cpu.find("Build ID: " + self.buildId() + "\n")) << cpu;

  // "-traces": one block per distinct stack, innermost frame first, with
  // the thread's labels.
  const std::string traces =
      test::RunCommand("go tool pprof -traces -sample_index=samples " + test::ShellQuote(profile) + " 2>&1", &status);
  ASSERT_EQ(0, status) << traces;
  EXPECT_TRUE(std::regex_search(traces, std::regex("pid:\\s+" + std::to_string(ExportSession::processId()) + "\\s")))
      << traces;
  const std::regex lexTrace(R"(\s3\s+qv_export_lex\s*\n\s+qv_export_parse\s*\n\s+qv_export_main)");
  EXPECT_TRUE(std::regex_search(traces, lexTrace)) << traces;
}

// Two real recordings of the example workload, the second with the hash
// work on two threads. go tool pprof reads the export of the first with the
// counts the report's tree gives every named function, its trace has a
// named track for every sampled thread, and the difference of the two shows
// the hash function growing.
TEST(WorkloadRecordingTest, ExportsAgreeWithTheReportAndDoublingOneWorkersWorkShowsItsFunctionGrowing) {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  DriverCatalog::processEnvironment(errors, warnings);
  if (!errors.empty()) GTEST_SKIP() << "cannot trace a child: " << errors.front();
  test::ScratchDirectory scratch("qvworkload");
  const std::string base = scratch.file("base.qvprof");
  const std::string doubled = scratch.file("doubled.qvprof");
  for (const auto& recording : {std::make_pair(base, ""), std::make_pair(doubled, "hash")}) {
    std::vector<std::string> args = {"record", "--interval", "0.005", "-o", recording.first,
                                     "--",     QV_WORKLOAD_PATH, "5"};
    if (*recording.second) args.push_back(recording.second);
    const test::ProgramResult record = test::RunQvprof(args);
    ASSERT_EQ(0, record.status) << "recording failed: " << record.err;
  }
  const SessionSamples baseSession(base);
  const SessionSamples doubledSession(doubled);
  std::string skipped;

  const QVFoldedStacks ours(baseSession.samples(), QVCallTree::symbol);
  int status = 0;
  test::RunCommand("go version", &status);
  if (status != 0) {
    skipped = "the Go toolchain to read the pprof export is not installed; ";
  } else {
    const std::string profile = scratch.file("base.pb.gz");
    const test::ProgramResult exported = test::RunQvprof({"export", base, "-f", "pprof", "-o", profile});
    ASSERT_EQ(0, exported.status) << exported.err;
    const std::string top = test::RunCommand(
        "HOME=" + test::ShellQuote(scratch.path()) + " go tool pprof -top -nodecount=100000 -sample_index=samples " +
            test::ShellQuote(profile) + " 2>&1",
        &status);
    ASSERT_EQ(0, status) << top;
    const std::regex row(R"(^\s*(\d+)\s+\S+%\s+\S+%\s+(\d+)\s+\S+%\s+(.+?)\s*$)");
    std::istringstream lines(top);
    std::string line;
    size_t compared = 0;
    while (std::getline(lines, line)) {
      std::smatch match;
      if (!std::regex_match(line, match, row)) continue;
      const std::string name = match[3];
      // pprof names a frame of no known symbol by its address, "[module]",
      // or "<unknown>" when its module is not known either.
      if (name.rfind("0x", 0) == 0 || name.front() == '[' || name == "<unknown>") continue;
      const auto function = ours.functions().find(name);
      ASSERT_NE(ours.functions().end(), function) << name << "\n" << top;
      EXPECT_EQ(function->second.self, std::stoull(match[1])) << name;
      EXPECT_EQ(function->second.total, std::stoull(match[2])) << name;
      ++compared;
    }
    EXPECT_GE(compared, 1u) << top;

    // The CPU value of each sample is the CPU time its thread used, as the
    // recording measured it, not the interval: the raw listing's second
    // column adds up to the session's CPU time.
    uint64_t sessionCpu = 0;
    for (const auto& sample : baseSession.samples()) {
      if (sample && sample->cpuTimeNanos() > 0) sessionCpu += static_cast<uint64_t>(sample->cpuTimeNanos());
    }
    const std::string raw = test::RunCommand(
        "HOME=" + test::ShellQuote(scratch.path()) + " go tool pprof -raw " + test::ShellQuote(profile) + " 2>&1",
        &status);
    ASSERT_EQ(0, status) << raw;
    const std::regex rawRow(R"(^\s*(\d+)\s+(\d+):.*$)");
    std::istringstream rawLines(raw);
    uint64_t pprofCpu = 0;
    while (std::getline(rawLines, line)) {
      std::smatch match;
      if (std::regex_match(line, match, rawRow)) pprofCpu += std::stoull(match[2]);
    }
    EXPECT_GT(sessionCpu, 0u);
    EXPECT_EQ(pprofCpu, sessionCpu) << raw.substr(0, 2000);
  }

  ExportCommand::Options trace;
  trace.format = ExportCommand::Format::trace;
  std::ostringstream events;
  ASSERT_TRUE(ExportCommand::writeExport(events, baseSession, trace));
  std::set<int64_t> named;
  std::set<int64_t> sampled;
  const json document = json::parse(events.str());
  for (const json& event : document.at("traceEvents")) {
    if (event.at("name") == "thread_name") named.insert(event.at("tid").get<int64_t>());
    if (event.at("ph") == "i") sampled.insert(event.at("tid").get<int64_t>());
  }
  EXPECT_FALSE(sampled.empty());
  EXPECT_EQ(sampled, named);

  // The hash function's share of the samples grows (the order of the rows
  // is the difference's own test). On a loaded machine the sampler takes few
  // stacks, so only the direction of the change is asserted, not its size,
  // and only with enough samples to tell: one thread of five against two of
  // six is about 13 points, which 40 samples a side show beyond their noise
  // most of the time.
  constexpr size_t kEnough = 40;
  const size_t fewest = std::min(baseSession.samples().size(), doubledSession.samples().size());
  if (fewest < kEnough) {
    GTEST_SKIP() << skipped << "the machine let the sampler take only " << fewest << " stacks in a recording; "
                 << kEnough << " are needed to compare shares";
  }
  DiffCommand::Options options;
  options.minPercent = 0.0;
  std::ostringstream table;
  ASSERT_TRUE(DiffCommand::writeDiff(table, baseSession, doubledSession, options));
  const std::regex hashRow(R"(([-+]\d+\.\d+)\s+\S+%\s+\S+%\s+([-+]\d+\.\d+)\s+\(anonymous namespace\)::fnv1aHash)");
  std::smatch match;
  const std::string text = table.str();
  ASSERT_TRUE(std::regex_search(text, match, hashRow)) << text;
  EXPECT_GT(std::stod(match[2]), 0.0) << text;

  // The differential folded file counts every sample of each side.
  options.folded = true;
  std::ostringstream folded;
  ASSERT_TRUE(DiffCommand::writeDiff(folded, baseSession, doubledSession, options));
  uint64_t before = 0;
  uint64_t after = 0;
  std::istringstream lines(folded.str());
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line.substr(line.rfind(' ', line.rfind(' ') - 1)));
    uint64_t b = 0;
    uint64_t a = 0;
    words >> b >> a;
    before += b;
    after += a;
  }
  EXPECT_EQ(baseSession.samples().size(), before);
  EXPECT_EQ(doubledSession.samples().size(), after);
  if (!skipped.empty()) GTEST_SKIP() << skipped << "the rest was checked";
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
