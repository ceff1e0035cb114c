#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "MetricsCommand.h"
#include "UsageError.h"

using namespace Quorvel::qvprof;

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
