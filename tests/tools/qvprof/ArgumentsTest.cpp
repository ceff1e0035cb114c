#include <gtest/gtest.h>

#include <functional>
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

TEST(ArgumentsParsing, AcceptsEveryFormOfOptionLastValuesOperandsFallbacksAndHelpAndWritesTheHelp) {
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

  Arguments record = RecordLike();
  record.parse({"-ofirst.qv", "--output", "second.qv", "--", "p"});
  EXPECT_EQ("second.qv", record.value("output")) << "attached short values, and the last value counts";

  // Operands may stand between options.
  Arguments report = ReportLike();
  report.parse({"--depth", "3", "session.qv", "--topology", "leaf"});
  EXPECT_EQ(std::vector<std::string>{"session.qv"}, report.operands());
  EXPECT_EQ("leaf", report.choice("topology", {"tree", "leaf"}, "tree"));
  EXPECT_EQ(3u, report.integer("depth", 0, 1, 10));

  Arguments plain = ReportLike();
  plain.parse({"f"});
  EXPECT_FALSE(plain.has("depth"));
  EXPECT_EQ(7u, plain.integer("depth", 7, 1, 10));
  EXPECT_EQ("tree", plain.choice("topology", {"tree", "leaf"}, "tree"));
  EXPECT_EQ("dflt", plain.value("topology", "dflt"));

  // Help is accepted anywhere and skips the operand check.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"-h", "--depth", "2"}}) {
    Arguments help = ReportLike();
    help.parse(args);
    EXPECT_TRUE(help.helpRequested());
  }

  // Help lists the usage, the summary, every option with its value and the notes.
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
}

TEST(ArgumentsErrors, EveryMistakeAndEveryBadTypedValueNamesTheArgumentAtFault) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { RecordLike().parse({"-x"}); }, "unknown option '-x'"},
      {[] { RecordLike().parse({"--output"}); }, "option '--output' needs a value (FILE)"},
      {[] { RecordLike().parse({"-o", "--", "p"}); }, "option '-o' needs a value (FILE)"},
      {[] { RecordLike().parse({"--wrap=yes"}); }, "option '--wrap' takes no value"},
      {[] { RecordLike().parse({"--"}); }, "'--' must be followed by the program to run"},
      {[] { ReportLike().parse({"f", "--", "p"}); }, "unexpected '--': this command does not run a program"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, UsageErrorOf(c.first));

  // Typed values are checked and the option named.
  auto parsed = [](const std::string& option, const std::string& value) {
    Arguments arguments = RecordLike();
    arguments.parse({option, value, "--", "p"});
    return arguments;
  };
  for (const char* value : {"fast", "0", "-1", "inf", "1s"}) {
    EXPECT_EQ("--interval: expected a number greater than 0 for SECONDS, got '" + std::string(value) + "'",
              UsageErrorOf([&] { parsed("--interval", value).positiveNumber("interval", 1); }));
  }
  EXPECT_DOUBLE_EQ(0.0, parsed("--interval", "0").positiveNumber("interval", 1, true));
  // 2^64 does not fit: an overflow is an error, not a wrap-around.
  for (const char* value : {"0", "2.5", "-3", "18446744073709551616"}) {
    EXPECT_EQ("--sample-limit: expected an integer from 1 to 100 for N, got '" + std::string(value) + "'",
              UsageErrorOf([&] { parsed("--sample-limit", value).integer("sample-limit", 5, 1, 100); }));
  }
  Arguments report = ReportLike();
  report.parse({"f", "--topology", "Tree"});
  EXPECT_EQ("--topology: expected one of tree, leaf, got 'Tree'",
            UsageErrorOf([&] { report.choice("topology", {"tree", "leaf"}, "tree"); }));
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

TEST_F(LogOptionsTest, QuietByDefaultVerbosePrintsWarningsFlagsComeBackAndMistakesNameTheOption) {
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
  // A bad level and an unwritable file are usage errors naming the option.
  EXPECT_EQ("--log-level: expected one of debug, warning, error, none, got 'loud'",
            UsageErrorOf([] { LogOptions options(Parsed({"--log-level", "loud"})); }));
  EXPECT_EQ("--log-file: cannot open '/nonexistent-dir/q.log' for appending",
            UsageErrorOf([] { LogOptions options(Parsed({"--log-file", "/nonexistent-dir/q.log"})); }));
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
