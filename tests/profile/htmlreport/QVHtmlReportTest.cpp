#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "htmlreport/QVFlameGraph.h"
#include "htmlreport/QVHtmlReport.h"
#include "htmlreport/QVThreadTimeline.h"

namespace Quorvel {
namespace {

// main (10) -> parse (6) -> parse (4, recursion) -> lex (3)
//           -> lex (2)
// so parse's total is 6, not 10, and lex's is 3 + 2.
QVFlameGraph RecursiveGraph() {
  QVFlameGraph graph;
  graph.addNode(-1, {"main", "app"}, 10, 2);
  graph.addNode(0, {"parse", "app"}, 6, 2);
  graph.addNode(1, {"parse", "app"}, 4, 1);
  graph.addNode(2, {"lex", "libc.so.6"}, 3, 3);
  graph.addNode(0, {"lex", "libc.so.6"}, 2, 2);
  return graph;
}

TEST(QVFlameGraphTest, FunctionsCountRecursionOnceAndJsonColumnsShareInternedNames) {
  const std::vector<QVFlameGraph::Function> functions = RecursiveGraph().functions();
  struct Expected {
    const char* name;
    double self;
    double total;
  };
  const Expected expected[] = {{"lex", 5, 5}, {"parse", 3, 6}, {"main", 2, 10}};
  ASSERT_EQ(3u, functions.size());
  for (size_t i = 0; i < functions.size(); ++i) {
    EXPECT_EQ(expected[i].name, functions[i].name) << i;
    EXPECT_EQ(expected[i].self, functions[i].self) << functions[i].name;
    EXPECT_EQ(expected[i].total, functions[i].total) << functions[i].name;
  }
  EXPECT_EQ(10, RecursiveGraph().total());

  // The JSON columns share interned names; parents, names and totals are
  // read back as a tree in qvprof's report test.
  nlohmann::json json;
  RecursiveGraph().toJson(json);
  EXPECT_EQ(nlohmann::json::parse(R"(["main","parse","lex"])"), json["names"]);
  EXPECT_EQ(nlohmann::json::parse(R"([0,1,1,2,2])"), json["name"]);
  EXPECT_EQ(nlohmann::json::parse(R"([0,0,0,1,1])"), json["module"]);
  EXPECT_THROW(QVFlameGraph().addNode(0, {"orphan", ""}, 1, 1), std::exception);
}

// Bucket arithmetic over 0..1000 ns in 10 buckets of 100 ns.
TEST(QVThreadTimelineTest, SamplesAndTenuresFoldIntoBuckets) {
  QVThreadTimeline timeline(0, 1000, 10);
  timeline.setLabel(7, "worker (1/7)");
  for (uint64_t tick : {0, 99, 100, 999, 1000, 5000}) timeline.addSample(7, tick);
  timeline.addRunning(7, 50, 250);      // half of 0, all of 1, half of 2
  timeline.addRunning(7, 900, 90000);   // clamped to the end: all of 9
  timeline.addSystemCall(3, 420, 440);  // a fifth of bucket 4, another thread
  nlohmann::json json;
  timeline.toJson(json);
  ASSERT_EQ(2u, json["threads"].size());
  const nlohmann::json& other = json["threads"][0];
  const nlohmann::json& worker = json["threads"][1];
  EXPECT_EQ(3, other["id"]);
  EXPECT_EQ("3", other["label"]) << "a lane without a label shows its id";
  EXPECT_EQ("worker (1/7)", worker["label"]);
  // Ticks at or past the end fall into the last bucket.
  EXPECT_EQ(nlohmann::json::parse("[2,1,0,0,0,0,0,0,0,3]"), worker["samples"]);
  EXPECT_EQ(nlohmann::json::parse("[0.5,1,0.5,0,0,0,0,0,0,1]"), worker["running"]);
  EXPECT_EQ(nlohmann::json::parse("[0,0,0,0,0.2,0,0,0,0,0]"), other["syscalls"]);

  QVThreadTimeline instant(5, 5, 10);
  EXPECT_EQ(1u, instant.buckets()) << "a session without a span has one bucket";
  nlohmann::json plain;
  instant.addSample(1, 5);
  instant.toJson(plain);
  EXPECT_FALSE(plain["threads"][0].contains("running")) << "no tenures, no running strip";
}

// The data element's text, as the page's script reads it.
std::string DataElement(const std::string& page) {
  const std::string open = "<script id=\"qv-data\" type=\"application/json\">";
  const size_t begin = page.find(open);
  const size_t end = page.find("</script>", begin);
  EXPECT_NE(std::string::npos, begin);
  EXPECT_NE(std::string::npos, end);
  return page.substr(begin + open.size(), end - begin - open.size());
}

TEST(QVHtmlReportTest, HostileNamesCannotLeaveTheDataElement) {
  const std::vector<std::string> hostile = {
      "</script><script>alert(1)</script>",
      "</SCRIPT >",
      "<!--",
      "<![CDATA[",
      "a & b \"quoted\" 'single' \\ back",
      std::string("line\xe2\x80\xa8separator"),
      std::string("bad utf8 \xff\xfe"),
      std::string("nul \0 inside", 13),
  };
  QVFlameGraph graph;
  for (const std::string& name : hostile) graph.addNode(-1, {name, "</style><b>" + name}, 1, 1);
  QVHtmlReport report("</title><script>alert(2)</script>");
  report.addFact("<b>", "</dd>");
  report.setFlameGraph(graph);
  std::ostringstream out;
  report.write(out);
  const std::string page = out.str();

  // Our two script elements, each closed once; the style element closed once.
  size_t closers = 0;
  for (size_t at = page.find("</script"); at != std::string::npos; at = page.find("</script", at + 1)) ++closers;
  EXPECT_EQ(2u, closers);
  EXPECT_EQ(page.find("</style"), page.rfind("</style"));
  EXPECT_NE(std::string::npos, page.find("<title>&lt;/title&gt;&lt;script&gt;alert(2)&lt;/script&gt;</title>"));

  const std::string text = DataElement(page);
  EXPECT_EQ(std::string::npos, text.find_first_of("<>&")) << "no markup characters in the embedded data";
  const nlohmann::json data = nlohmann::json::parse(text);
  ASSERT_EQ(hostile.size(), data["flame"]["names"].size());
  for (size_t i = 0; i + 1 < hostile.size(); ++i) {
    if (i == 6) continue;  // invalid UTF-8 comes back replaced
    EXPECT_EQ(hostile[i], data["flame"]["names"][i].get<std::string>()) << i;
  }
  EXPECT_EQ("bad utf8 \xef\xbf\xbd\xef\xbf\xbd", data["flame"]["names"][6].get<std::string>());
  EXPECT_EQ(hostile.back(), data["flame"]["names"][7].get<std::string>()) << "NUL survives as \\u0000";
  EXPECT_EQ("</dd>", data["facts"][0][1]);
}

TEST(QVHtmlReportTest, PageEmbedsItsScriptStyleAndAllSections) {
  QVHtmlReport report("app.qvprof");
  report.setFlameGraph(RecursiveGraph());
  report.setTimeline(std::make_shared<QVThreadTimeline>(0, 1000, 4));
  report.addMetricSeries({"system", "Load", "", {{0.5, 1.0}, {1.0, 2.0}}});
  std::ostringstream out;
  report.write(out);
  const std::string page = out.str();
  for (const char* marker : {"@QV_TITLE@", "@QV_STYLE@", "@QV_DATA@", "@QV_SCRIPT@"}) {
    EXPECT_EQ(std::string::npos, page.find(marker)) << marker;
  }
  // Self-contained: nothing is fetched.
  for (const char* fetch : {"src=", "href=", "@import", "url("}) EXPECT_EQ(std::string::npos, page.find(fetch)) << fetch;
  EXPECT_NE(std::string::npos, page.find("JSON.parse(document.getElementById('qv-data')"));
  // The functions and metrics of a page are checked in qvprof's report test,
  // read back from the file it wrote.
  const nlohmann::json data = nlohmann::json::parse(DataElement(page));
  EXPECT_EQ(4, data["timeline"]["buckets"]);
  EXPECT_EQ(1u, data["metrics"].size());
}

}  // namespace
}  // namespace Quorvel
