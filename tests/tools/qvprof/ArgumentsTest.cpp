#include <gtest/gtest.h>

#include <sstream>

#include "Arguments.h"
#include "base/QVLog.h"
#include "LogOptions.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {
namespace {

// A command shaped like "record": options with and without values, short
// forms, and a trailing program.
Arguments RecordLike() {
  Arguments arguments("record", "Records things.",
                      {
                                {"output", 'o', "FILE", "where to write"},
                                {"interval", 0, "SECONDS", "between samples"},
                                {"sample-limit", 0, "N", "how many"},
                                {"wrap", 0, "", "keep the newest"},
                                {"verbose", 'v', "", "say more"},
                            });
  arguments.allowTrailingCommand("COMMAND [ARGS...]");
  return arguments;
}

Arguments ReportLike() {
  return Arguments("report", "Reports things.",
                   {{"topology", 0, "tree|leaf", "shape"}, {"depth", 0, "N", "levels"}}, "FILE", 1, 1);
}

// The message of the usage error that parsing or reading throws.
template <class F>
std::string UsageErrorOf(F&& f) {
  try {
    f();
  } catch (const UsageError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(ArgumentsParsing, AcceptsEveryFormOfOptionAndKeepsTheTrailingProgramVerbatim) {
  Arguments arguments = RecordLike();
  arguments.parse({"-o", "a.qv", "--interval=0.5", "--wrap", "-v", "--sample-limit", "10", "--", "prog", "--wrap",
                   "-o", "x"});
  EXPECT_EQ("a.qv", arguments.value("output"));
  EXPECT_DOUBLE_EQ(0.5, arguments.positiveNumber("interval", 1.0));
  EXPECT_EQ(10u, arguments.integer("sample-limit", 0, 1, 100));
  EXPECT_TRUE(arguments.has("wrap"));
  EXPECT_TRUE(arguments.has("verbose"));
  // Everything after "--" belongs to the program, even words that look
  // like our own options.
  EXPECT_EQ((std::vector<std::string>{"prog", "--wrap", "-o", "x"}), arguments.trailingCommand());
}

TEST(ArgumentsParsing, AttachedShortValuesAndRepeatedOptionsKeepTheLastValue) {
  Arguments arguments = RecordLike();
  arguments.parse({"-ofirst.qv", "--output", "second.qv", "--", "p"});
  EXPECT_EQ("second.qv", arguments.value("output"));
}

TEST(ArgumentsParsing, OperandsMayStandBetweenOptions) {
  Arguments arguments = ReportLike();
  arguments.parse({"--depth", "3", "session.qv", "--topology", "leaf"});
  EXPECT_EQ(std::vector<std::string>{"session.qv"}, arguments.operands());
  EXPECT_EQ("leaf", arguments.choice("topology", {"tree", "leaf"}, "tree"));
  EXPECT_EQ(3u, arguments.integer("depth", 0, 1, 10));
}

TEST(ArgumentsParsing, AbsentOptionsGiveTheirFallbacks) {
  Arguments arguments = ReportLike();
  arguments.parse({"f"});
  EXPECT_FALSE(arguments.has("depth"));
  EXPECT_EQ(7u, arguments.integer("depth", 7, 1, 10));
  EXPECT_EQ("tree", arguments.choice("topology", {"tree", "leaf"}, "tree"));
  EXPECT_EQ("dflt", arguments.value("topology", "dflt"));
}

TEST(ArgumentsParsing, HelpIsAcceptedAnywhereAndSkipsTheOperandCheck) {
  Arguments arguments = ReportLike();
  arguments.parse({"--help"});
  EXPECT_TRUE(arguments.helpRequested());
  arguments.parse({"-h", "--depth", "2"});
  EXPECT_TRUE(arguments.helpRequested());
}

TEST(ArgumentsErrors, EveryMistakeNamesTheArgumentAtFault) {
  EXPECT_EQ("unknown option '--bogus'", UsageErrorOf([] { RecordLike().parse({"--bogus", "--", "p"}); }));
  EXPECT_EQ("unknown option '-x'", UsageErrorOf([] { RecordLike().parse({"-x"}); }));
  EXPECT_EQ("option '--output' needs a value (FILE)", UsageErrorOf([] { RecordLike().parse({"--output"}); }));
  EXPECT_EQ("option '-o' needs a value (FILE)", UsageErrorOf([] { RecordLike().parse({"-o"}); }));
  EXPECT_EQ("option '-o' needs a value (FILE)", UsageErrorOf([] { RecordLike().parse({"-o", "--", "p"}); }));
  EXPECT_EQ("option '--wrap' takes no value", UsageErrorOf([] { RecordLike().parse({"--wrap=yes"}); }));
  EXPECT_EQ("'--' must be followed by the program to run", UsageErrorOf([] { RecordLike().parse({"--"}); }));
  EXPECT_EQ("unexpected '--': this command does not run a program",
            UsageErrorOf([] { ReportLike().parse({"f", "--", "p"}); }));
  EXPECT_EQ("missing FILE", UsageErrorOf([] { ReportLike().parse({}); }));
  EXPECT_EQ("unexpected extra argument 'g'", UsageErrorOf([] { ReportLike().parse({"f", "g"}); }));
  EXPECT_EQ("unexpected argument 'stray'", UsageErrorOf([] { RecordLike().parse({"stray"}); }));
}

TEST(ArgumentsErrors, TypedValuesAreCheckedAndTheOptionNamed) {
  auto parsed = [](std::vector<std::string> args) {
    Arguments arguments = RecordLike();
    args.push_back("--");
    args.push_back("p");
    arguments.parse(args);
    return arguments;
  };
  EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got 'fast'",
            UsageErrorOf([&] { parsed({"--interval", "fast"}).positiveNumber("interval", 1); }));
  EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got '0'",
            UsageErrorOf([&] { parsed({"--interval", "0"}).positiveNumber("interval", 1); }));
  EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got '-1'",
            UsageErrorOf([&] { parsed({"--interval", "-1"}).positiveNumber("interval", 1); }));
  EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got 'inf'",
            UsageErrorOf([&] { parsed({"--interval", "inf"}).positiveNumber("interval", 1); }));
  EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got '1s'",
            UsageErrorOf([&] { parsed({"--interval", "1s"}).positiveNumber("interval", 1); }));
  EXPECT_DOUBLE_EQ(0.0, parsed({"--interval", "0"}).positiveNumber("interval", 1, true));
  EXPECT_EQ("--sample-limit: expected an integer from 1 to 100 for N, got '0'",
            UsageErrorOf([&] { parsed({"--sample-limit", "0"}).integer("sample-limit", 5, 1, 100); }));
  EXPECT_EQ("--sample-limit: expected an integer from 1 to 100 for N, got '2.5'",
            UsageErrorOf([&] { parsed({"--sample-limit", "2.5"}).integer("sample-limit", 5, 1, 100); }));
  EXPECT_EQ("--sample-limit: expected an integer from 1 to 100 for N, got '-3'",
            UsageErrorOf([&] { parsed({"--sample-limit", "-3"}).integer("sample-limit", 5, 1, 100); }));
  // 2^64 does not fit: an overflow is an error, not a wrap-around.
  EXPECT_EQ("--sample-limit: expected an integer from 1 to 100 for N, got '18446744073709551616'",
            UsageErrorOf([&] {
              parsed({"--sample-limit", "18446744073709551616"}).integer("sample-limit", 5, 1, 100);
            }));
  Arguments report = ReportLike();
  report.parse({"f", "--topology", "Tree"});
  EXPECT_EQ("--topology: expected one of tree, leaf, got 'Tree'",
            UsageErrorOf([&] { report.choice("topology", {"tree", "leaf"}, "tree"); }));
}

TEST(ArgumentsErrors, TheErrorCarriesTheCommandWord) {
  try {
    ReportLike().parse({"--nope"});
    FAIL() << "no error";
  } catch (const UsageError& error) {
    EXPECT_EQ("report", error.command());
  }
}

TEST(ArgumentsHelp, ListsUsageSummaryAndEveryOptionWithItsValue) {
  Arguments arguments = RecordLike();
  arguments.setNotes("Some notes.");
  std::ostringstream help;
  arguments.writeHelp(help);
  const std::string text = help.str();
  EXPECT_EQ(0u, text.find("Usage: qvprof record [OPTIONS] -- COMMAND [ARGS...]\n\nRecords things.\n")) << text;
  EXPECT_NE(std::string::npos, text.find("  -o, --output FILE")) << text;
  EXPECT_NE(std::string::npos, text.find("      --interval SECONDS")) << text;
  EXPECT_NE(std::string::npos, text.find("      --wrap ")) << text;
  EXPECT_NE(std::string::npos, text.find("  -h, --help")) << text;
  EXPECT_NE(std::string::npos, text.find("\nSome notes.\n")) << text;

  std::ostringstream reportHelp;
  ReportLike().writeHelp(reportHelp);
  EXPECT_EQ(0u, reportHelp.str().find("Usage: qvprof report [OPTIONS] FILE\n")) << reportHelp.str();
}

// The logging options change process-wide flags; they must come back.
class LogOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) saved[i] = GetLogFlags(static_cast<QVLogLevel>(i));
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) SetLogFlags(static_cast<QVLogLevel>(i), saved[i]);
  }
  static Arguments Parsed(const std::vector<std::string>& args) {
    Arguments arguments("info", "Info.", LogOptions::options());
    arguments.parse(args);
    return arguments;
  }
  QVLogFlags saved[3];
};

TEST_F(LogOptionsTest, QuietByDefaultVerbosePrintsWarningsAndFlagsComeBackAfterwards) {
  SetLogFlags(QVLogLevel::Error, QVLogFlags{true, true, false});
  {
    LogOptions quiet(Parsed({}));
    EXPECT_FALSE(GetLogFlags(QVLogLevel::Error).print);
    EXPECT_FALSE(GetLogFlags(QVLogLevel::Warning).print);
    EXPECT_FALSE(GetLogFlags(QVLogLevel::Debug).print);
  }
  EXPECT_TRUE(GetLogFlags(QVLogLevel::Error).print) << "restored";
  {
    LogOptions verbose(Parsed({"-v"}));
    EXPECT_TRUE(GetLogFlags(QVLogLevel::Error).print);
    EXPECT_TRUE(GetLogFlags(QVLogLevel::Warning).print);
    EXPECT_FALSE(GetLogFlags(QVLogLevel::Debug).print);
  }
  {
    LogOptions debug(Parsed({"--log-level", "debug"}));
    EXPECT_TRUE(GetLogFlags(QVLogLevel::Debug).print);
  }
}

TEST_F(LogOptionsTest, BadLevelAndUnwritableFileAreUsageErrorsNamingTheOption) {
  EXPECT_EQ("--log-level: expected one of debug, warning, error, none, got 'loud'",
            UsageErrorOf([] { LogOptions options(Parsed({"--log-level", "loud"})); }));
  EXPECT_EQ("--log-file: cannot open '/nonexistent-dir/q.log' for appending",
            UsageErrorOf([] { LogOptions options(Parsed({"--log-file", "/nonexistent-dir/q.log"})); }));
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
