#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "MetricsCommand.h"
#include "UsageError.h"
#include "support/ElfProbes.h"
#include "support/TestSupport.h"

using namespace Quorvel::qvprof;
using Quorvel::test::RunCommand;

namespace {

int runMetrics(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::ostringstream outStream, errStream;
  const int status = MetricsCommand().run(args, outStream, errStream);
  out = outStream.str();
  err = errStream.str();
  return status;
}

std::size_t countLines(const std::string& text, const std::string& needle) {
  std::size_t lines = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++lines;
  return lines;
}

}  // namespace

TEST(MetricsCommand, ListCsvPassesAndArgumentErrors) {
  std::string out, err;
  ASSERT_EQ(runMetrics({"--list"}, out, err), Command::ExitSuccess);
  // 15 system, 8 process, 6 disk and 4 network metrics.
  EXPECT_EQ(countLines(out, "\n"), 33u);
  EXPECT_NE(out.find("system.time.user"), std::string::npos);

  // Not a terminal: CSV, one row per metric per pass, after the baseline pass.
  ASSERT_EQ(runMetrics({"--count", "2", "--interval", "0.1", "--metrics", "system.time.user,system.interrupt_count"},
                       out, err),
            Command::ExitSuccess);
  EXPECT_EQ(out.rfind("seconds,entity,metric,view,value\n", 0), 0u);
  EXPECT_EQ(countLines(out, ",system,system.time.user,DELTA_PERCENT_TIME,"), 2u);
  EXPECT_EQ(countLines(out, ",system,system.interrupt_count,DELTA_VALUE,"), 2u);

  struct Case {
    std::vector<std::string> args;
    const char* named;
  };
  const Case usage[] = {
      {{"--metrics", "no.such.metric"}, "no.such.metric"},
      {{"--interval", "0.05"}, "--interval"},
      {{"--pid", "abc"}, "--pid"},
      {{"--metrics", "process.time.user"}, "--pid"},
  };
  for (const Case& c : usage) {
    EXPECT_THROW(runMetrics(c.args, out, err), UsageError) << c.named;
  }
}

TEST(MetricsCommand, RecordedMetricsReadBackInFreshProcessesEvenFromARecordingShorterThanTheInterval) {
  Quorvel::test::ScratchDirectory scratch("qvmetrics");
  const std::string session = scratch.file("m.session");
  const std::string qvprof = QV_QVPROF_PATH;
  int status = 0;
  // The target spins for about a second of CPU so that several 0.2 s metric
  // passes fall inside the recording.
  RunCommand(qvprof + " record --metrics --metric-interval 0.2 -o " + session +
               " -- /bin/sh -c 'i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done' 2>&1", &status);
  ASSERT_EQ(status, 0);

  const std::string info = RunCommand(qvprof + " info " + session, &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(info.find("Metrics:"), std::string::npos) << info;
  EXPECT_NE(info.find("User Time"), std::string::npos) << info;
  EXPECT_NE(info.find("MIN"), std::string::npos) << info;

  const std::string csv = RunCommand(qvprof + " metrics --from " + session, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(csv.rfind("seconds,entity,metric,view,value\n", 0), 0u);
  EXPECT_NE(csv.find(",process.time.user,DELTA_PERCENT_TIME,"), std::string::npos) << csv.substr(0, 400);
  EXPECT_GE(countLines(csv, ",system,system.memory.used_size,VALUE,"), 2u) << "every pass is kept";

  // About 0.3 s of shell arithmetic against a 30 s interval (long, so that a
  // loaded machine cannot stretch the program past it): the timer takes no
  // pass, so the change can only come from the pass taken when the
  // recording stops.
  const std::string brief = scratch.file("short.session");
  RunCommand(qvprof + " record --metrics --metric-interval 30 --metric-ids system.time.user -o " + brief +
               " -- /bin/sh -c 'i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done' 2>&1", &status);
  ASSERT_EQ(status, 0);
  const std::string briefCsv = RunCommand(qvprof + " metrics --from " + brief, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(countLines(briefCsv, ",system,system.time.user,DELTA_PERCENT_TIME,"), 1u) << briefCsv;
}
