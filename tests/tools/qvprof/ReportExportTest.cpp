#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "HtmlCommand.h"
#include "SessionSamples.h"
#include "support/ElfProbes.h"
#include "support/QvprofRun.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"

// The HTML report and the speedscope export of qvprof over the known
// session (support/SyntheticSession.h), through the functions the commands use
// and through the built binary.
namespace Quorvel {
namespace qvprof {
namespace {

using Outcome = test::ProgramResult;
using test::RunQvprof;

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

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
