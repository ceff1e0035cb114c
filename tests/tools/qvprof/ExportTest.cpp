#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <climits>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "base/QVException.h"
#include "DiffCommand.h"
#include "DriverCatalog.h"
#include "export/QVCallTreeJson.h"
#include "export/QVFoldedStacks.h"
#include "export/QVFrameText.h"
#include "ExportCommand.h"
#include "ImportPerfCommand.h"
#include "HtmlCommand.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "ReportCommand.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionDataSystemCallTenures.h"
#include "session/QVSessionDataThreadTenures.h"
#include "session/QVSessionProfile.h"
#include "SessionSamples.h"
#include "support/ElfProbes.h"
#include "support/QvprofRun.h"
#include "symbols/elf/QVElfImage.h"
#include "system/QVProcessManager.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace qvprof {
namespace {

using nlohmann::json;
using test::ExportSession;
using test::RunQvprof;
using Outcome = test::ProgramResult;

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

TEST_F(ExportTest, FoldedMatchesTheCheckedInFileAndFiltersKeepAllOrNothing) {
  ExportCommand::Options options;
  const std::string folded = Export(path_, options);
  // The checked-in file counts all 12 samples.
  EXPECT_EQ(test::ReadWholeFile(QV_TEST_DATA_DIR "/export/golden.folded"), folded);

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

  // The hash function's share of the samples grows. On a loaded machine the
  // sampler takes few stacks, so only the direction of the change is
  // asserted, not its size, and only with enough samples to tell: one thread
  // of five against two of six is about 13 points, which 40 samples a side
  // show beyond their noise most of the time.
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

// The HTML report and the speedscope export over the known session
// (support/SyntheticSession.h), through the functions the commands use and
// through the built binary. The data the page carries, or null when it has
// none.
nlohmann::json PageData(const std::string& page) {
  const std::string open = "<script id=\"qv-data\" type=\"application/json\">";
  const size_t begin = page.find(open);
  if (begin == std::string::npos) return nullptr;
  const size_t end = page.find("</script>", begin);
  return nlohmann::json::parse(page.substr(begin + open.size(), end - begin - open.size()));
}

// "name total self" per flame-graph node in node order, indented two
// blanks a level.
std::vector<std::string> FlameRows(const nlohmann::json& flame) {
  std::vector<std::string> rows;
  std::vector<size_t> depth;
  for (size_t i = 0; i < flame["parent"].size(); ++i) {
    const int parent = flame["parent"][i].get<int>();
    depth.push_back(parent < 0 ? 0 : depth.at(static_cast<size_t>(parent)) + 1);
    std::ostringstream row;
    row << std::string(2 * depth.back(), ' ') << flame["names"][flame["name"][i].get<size_t>()].get<std::string>()
        << ' ' << flame["total"][i] << ' ' << flame["self"][i];
    rows.push_back(row.str());
  }
  return rows;
}

class ReportExportTest : public ::testing::Test {
 protected:
  void SetUp() override { test::KnownSession::write(session_, true); }
  test::ScratchDirectory scratch_{"qvprofreport"};
  std::string session_ = scratch_.file("known.qvprof");
};

TEST_F(ReportExportTest, HtmlPageHoldsTheMergedTreeTimelineAndMetrics) {
  // Without -o the page goes beside the session.
  const Outcome run = RunQvprof({"html", session_});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("Wrote " + scratch_.file("known.html"))) << run.out;
  const nlohmann::json data = PageData(test::ReadWholeFile(scratch_.file("known.html")));
  ASSERT_TRUE(data.is_object());
  // Read back from the file by another process: the names resolve through
  // what the session file carries. Depth shows as indentation.
  const std::vector<std::string> expected = {"qv_known_outer 10.0 0.0", "  qv_known_middle 8.0 0.0",
                                             "    qv_known_hot 6.0 6.0", "    qv_known_cold 2.0 2.0",
                                             "  qv_known_cold 2.0 2.0"};
  EXPECT_EQ(expected, FlameRows(data["flame"]));
  EXPECT_EQ("known.qvprof", data["title"]);
  EXPECT_EQ(nlohmann::json::parse(R"(["qv_known_hot","qv_known_cold","qv_known_outer","qv_known_middle"])"),
            data["functions"]["name"]);
  EXPECT_EQ(nlohmann::json::parse("[6.0,4.0,10.0,8.0]"), data["functions"]["total"]);

  const nlohmann::json& lane = data["timeline"]["threads"][0];
  uint64_t samples = 0;
  for (const auto& count : lane["samples"]) samples += count.get<uint64_t>();
  EXPECT_EQ(10u, samples);
  double running = 0, syscalls = 0;
  for (const auto& share : lane["running"]) running += share.get<double>();
  for (const auto& share : lane["syscalls"]) syscalls += share.get<double>();
  // Samples span 1..11 ms, 400 buckets of 25 us: 8 ms on a processor is
  // 320 buckets' worth, the 2 ms write 80.
  EXPECT_NEAR(320, running, 0.5);
  EXPECT_NEAR(80, syscalls, 0.5);
  ASSERT_EQ(1u, data["metrics"].size());
  EXPECT_EQ(nlohmann::json::parse("[0.5,1.5,1.0]"), data["metrics"][0]["v"]);
}

TEST_F(ReportExportTest, SpeedscopeExportHasOneProfileWithStacksOutermostFirst) {
  const Outcome run = RunQvprof({"export", session_, "--format", "speedscope"});
  ASSERT_EQ(0, run.status) << run.err;
  const nlohmann::json json = nlohmann::json::parse(run.out);
  std::vector<std::string> names;
  for (const auto& frame : json["shared"]["frames"]) names.push_back(frame["name"]);
  ASSERT_EQ(1u, json["profiles"].size());
  const nlohmann::json& profile = json["profiles"][0];
  std::map<std::string, double> stacks;
  double weights = 0;
  for (size_t i = 0; i < profile["samples"].size(); ++i) {
    std::string stack;
    for (const auto& index : profile["samples"][i]) stack += (stack.empty() ? "" : ";") + names.at(index.get<size_t>());
    stacks[stack] += profile["weights"][i].get<double>();
    weights += profile["weights"][i].get<double>();
  }
  const std::map<std::string, double> expected = {{"qv_known_outer;qv_known_middle;qv_known_hot", 6},
                                                  {"qv_known_outer;qv_known_middle;qv_known_cold", 2},
                                                  {"qv_known_outer;qv_known_cold", 2}};
  EXPECT_EQ(expected, stacks);
  EXPECT_EQ(10, profile["endValue"]);

  const Outcome toFile = RunQvprof({"export", session_, "-f", "speedscope", "-o", scratch_.file("k.json")});
  ASSERT_EQ(0, toFile.status) << toFile.err;
  EXPECT_EQ("", toFile.out);
  EXPECT_EQ(json, nlohmann::json::parse(test::ReadWholeFile(scratch_.file("k.json"))));
}

TEST_F(ReportExportTest, MistakesNameTheirCauseAndExitAsDocumented) {
  ASSERT_EQ(0, mkdir(scratch_.file("dir").c_str(), 0700));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {{"html", session_, "-o", scratch_.file("dir")}, 1, "dir"},
      {{"html", scratch_.file("missing.qvprof")}, 1, "missing.qvprof"},
      {{"html", session_, "--thread", "1", "-o", scratch_.file("none.html")}, 1, "matches --thread 1"},
      {{"export", session_, "--format", "speedscope", "--process", "1"}, 1, "match --process 1"},
  };
  for (const Case& c : cases) {
    const Outcome run = RunQvprof(c.args);
    std::string line;
    for (const auto& word : c.args) line += word + " ";
    EXPECT_EQ(c.status, run.status) << line << run.err;
    EXPECT_NE(std::string::npos, run.err.find(c.message)) << line << run.err;
    EXPECT_EQ(std::string::npos, run.err.find('\n', run.err.find('\n') + 1)) << "one line: " << run.err;
  }
  EXPECT_NE(0, access(scratch_.file("none.html").c_str(), F_OK)) << "no page for nothing";
}

// Subtrees under the minimum share stay out of the page, their samples in
// their callers' totals; an omitted node's subtree is not walked, so only
// it counts as omitted. Known session: outer 10, middle 8, hot 6, and two
// cold nodes of 2 samples each.
TEST(ReportScaleTest, SubtreesUnderTheMinimumShareAreLeftOutAndAMillionSamplesGiveAPageAsSmallAsTen) {
  const SessionSamples session(test::KnownSession::make(false));
  struct Case {
    double minimumShare;
    size_t nodes;
    uint64_t omitted;
  };
  for (const Case& c : {Case{0, 5, 0}, Case{0.2, 5, 0}, Case{0.21, 3, 2}, Case{0.7, 2, 3}, Case{1, 1, 2}}) {
    HtmlCommand::Options options;
    options.minimumShare = c.minimumShare;
    const auto report = HtmlCommand::buildReport(session, options);
    EXPECT_EQ(c.nodes, report->flameGraph().nodes().size()) << c.minimumShare;
    EXPECT_EQ(c.omitted, report->flameGraph().omitted()) << c.minimumShare;
    EXPECT_EQ(10, report->flameGraph().total()) << c.minimumShare;
  }

  // A million samples aggregate into the same five nodes: the page's size
  // depends on call paths, not samples (the benchmark times the opening).
  auto pageSize = [](uint64_t samples) {
    const SessionSamples session(test::KnownSession::make(false, samples));
    const auto report = HtmlCommand::buildReport(session, HtmlCommand::Options());
    std::ostringstream page;
    report->write(page);
    EXPECT_EQ(5u, report->flameGraph().nodes().size());
    EXPECT_EQ(static_cast<double>(samples), report->flameGraph().total());
    return page.str().size();
  };
  const size_t ten = pageSize(10);
  const size_t million = pageSize(1000000);
  // The page differs only in the counts' digits and timeline buckets.
  EXPECT_LT(million, ten + 8 * 1024) << ten;
  EXPECT_LT(million, 100u * 1024);
}

// perf.data files recorded by real perf, imported into sessions.
std::string perfPath() {
  auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  return driver ? driver->perfBinaryPath() : std::string();
}

// Runs a shell command line; its stdout (stderr is perf's chatter).
std::string shell(const std::string& line, int& status) {
  std::string output;
  status = QVProcessManager::defaultManager().run("/bin/sh", {"-c", line + " 2>/dev/null"}, std::string(), output);
  return output;
}

// Where perf and the session name one address differently: perf prefers
// the versioned alias (clock_gettime@@GLIBC_2.17) where the session takes
// the first in the table (__clock_gettime, or glibc's internal
// __GI___clone3 for clone3), and perf names PLT stubs after their target
// (clock_gettime@plt) where ELF symbol tables have nothing.
std::string plainName(std::string symbol) {
  if (symbol.size() > 4 && symbol.compare(symbol.size() - 4, 4, "@plt") == 0) return "[unknown]";
  const size_t version = symbol.find('@');
  if (version != std::string::npos) symbol.erase(version);
  const auto stripUnderscores = [&symbol] {
    const size_t first = symbol.find_first_not_of('_');
    if (first != std::string::npos) symbol.erase(0, first);
  };
  stripUnderscores();
  if (symbol.compare(0, 3, "GI_") == 0) {
    symbol.erase(0, 3);
    stripUnderscores();
  }
  return symbol;
}

// "TID IP SYMBOL" of every sample of the event, sorted: what perf script
// prints, and the same from the imported session. perf prints C++ names
// without their parameters, so a symbol of ours that starts with perf's
// name and "(" counts as the same.
std::vector<std::string> perfScriptSamples(const std::string& data, const std::string& event) {
  int status = 0;
  std::istringstream in(shell("'" + perfPath() + "' script -i '" + data + "' -F event,tid,ip,sym -G", status));
  std::vector<std::string> samples;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tid, name, ip;
    words >> tid >> name >> ip;
    if (name != event + ":") continue;
    std::string symbol;
    std::getline(words >> std::ws, symbol);
    samples.push_back(tid + " " + ip + " " + plainName(symbol));
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

std::vector<std::string> importedSamples(const QVSessionProfile& profile, const std::vector<std::string>& perf) {
  std::vector<std::string> samples;
  if (!profile.callStackData()) return samples;
  std::vector<const QVAbstractCallFrame*> frames;
  for (const auto& sample : profile.callStackData()->samples()) {
    sample->getFrames(frames);
    std::string symbol =
        frames.empty() || !frames.front() ? "[unknown]" : plainName(QVFrameText::symbolName(*frames.front()));
    const std::string tid = std::to_string(sample->context().threadId().nativeIdentifier()) + " " +
                            (frames.empty() || !frames.front() ? "0" : QVFrameText::hex(frames.front()->address()));
    // Shorten to perf's form when perf printed the name without its
    // parameter list.
    const size_t open = symbol.find('(', symbol.rfind("(anonymous namespace)") == 0 ? 21 : 0);
    if (open != std::string::npos && open > 0) {
      const std::string bare = tid + " " + symbol.substr(0, open);
      if (std::binary_search(perf.begin(), perf.end(), bare)) symbol = symbol.substr(0, open);
    }
    samples.push_back(tid + " " + symbol);
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

class ImportPerfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (perfPath().empty()) GTEST_SKIP() << "perf is not installed";
  }
  test::ScratchDirectory scratch_{"qvimport"};
};

// perf.data files recorded here by real perf of the call-chain probe, then
// imported: the same samples with the same innermost symbols as perf script
// prints, and the traces recorded beside them.
TEST_F(ImportPerfTest, GivesTheSamplesPerfScriptPrints) {
  struct Case {
    const char* name;
    const char* options;
    bool traces;
  } cases[] = {
      {"call stacks", "-g -e cpu-clock -c 500000", false},
      {"raw call stacks", "-R -g -e cpu-clock -c 500000", false},
      {"with traces", "-R -g -e cpu-clock -c 500000 -e sched:sched_switch -e raw_syscalls:sys_enter "
                      "-e raw_syscalls:sys_exit", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string data = scratch_.file(std::to_string(&c - cases) + ".data");
    int status = 0;
    shell("'" + perfPath() + "' record -q " + c.options + " -o '" + data + "' -- " QV_CALL_CHAIN_PROBE_FP_G
          " spin 0.4 >/dev/null",
          status);
    if (status != 0 && c.traces) {
      GTEST_SKIP() << "perf cannot record tracepoints here (status " << status << ")";
    }
    ASSERT_EQ(0, status);
    const std::shared_ptr<QVSessionProfile> profile = ImportPerfCommand::import(data);
    const std::vector<std::string> perf = perfScriptSamples(data, "cpu-clock");
    ASSERT_GT(perf.size(), 50u);
    const std::vector<std::string> imported = importedSamples(*profile, perf);
    EXPECT_EQ(perf.size(), imported.size());
    std::vector<std::string> onlyPerf, onlyImported;
    std::set_difference(perf.begin(), perf.end(), imported.begin(), imported.end(), std::back_inserter(onlyPerf));
    std::set_difference(imported.begin(), imported.end(), perf.begin(), perf.end(),
                        std::back_inserter(onlyImported));
    // The same samples (thread and address) always; the same name except
    // where an address has several (kernel entry points such as
    // __x64_sys_sched_yield and __ia32_sys_sched_yield), which both sides
    // pick differently and only for the odd sample. Named against unknown
    // is never an alias.
    ASSERT_EQ(onlyPerf.size(), onlyImported.size());
    const auto place = [](const std::string& line) { return line.substr(0, line.find(' ', line.find(' ') + 1)); };
    const auto name = [](const std::string& line) { return line.substr(line.find(' ', line.find(' ') + 1) + 1); };
    for (size_t i = 0; i < onlyPerf.size(); ++i) {
      EXPECT_EQ(place(onlyPerf[i]), place(onlyImported[i]));
      EXPECT_NE("[unknown]", name(onlyPerf[i])) << onlyImported[i];
      EXPECT_NE("[unknown]", name(onlyImported[i])) << onlyPerf[i];
    }
    EXPECT_LE(onlyPerf.size() * 100, perf.size()) << "left: only perf script; right: only the session";
    EXPECT_EQ(c.traces, profile->threadTenureData() != nullptr);
    EXPECT_EQ(c.traces, profile->systemCallData() != nullptr);
  }
}

TEST_F(ImportPerfTest, FilesThatCannotBeOpenedSayWhy) {
  for (const std::string& path : {scratch_.file("missing.data"), scratch_.path()}) {
    try {
      ImportPerfCommand::import(path);
      ADD_FAILURE() << path << " imported";
    } catch (const QVException& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("failed to open file")) << e.what();
    }
  }
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
