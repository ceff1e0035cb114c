#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "Arguments.h"
#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"
#include "base/QVLog.h"
#include "CommandLauncher.h"
#include "LogCapture.h"
#include "LogOptions.h"
#include "NotificationText.h"
#include "ProgressLine.h"
#include "StopSignal.h"
#include "UsageError.h"

// The parts the commands are made of: their arguments and logging options,
// the stop signal, the launched program, the progress line and the texts of
// errors and notifications.
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

bool SignalBlockedInThisThread(int signalNumber) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signalNumber) == 1;
}

TEST(StopSignalTest, ASignalBecomesARequestThreadsStartedWhileActiveNeverSeeItAndHandlersAndMaskComeBack) {
  struct sigaction before;
  sigaction(SIGINT, nullptr, &before);
  const bool blockedBefore = SignalBlockedInThisThread(SIGINT);
  {
    StopSignal signals;
    EXPECT_FALSE(signals.wait(0.02)) << "no signal, no request";
    EXPECT_FALSE(signals.requested());
    EXPECT_THROW(StopSignal second, std::logic_error) << "only one at a time";
    bool blockedInThread = false;
    std::thread worker(
        [&] { blockedInThread = SignalBlockedInThisThread(SIGINT) && SignalBlockedInThisThread(SIGTERM); });
    worker.join();
    EXPECT_TRUE(blockedInThread);

    ASSERT_EQ(0, raise(SIGTERM));
    // Blocked until the wait lets it in, then seen at once: the 10 s bound
    // only matters when the signal is lost.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(signals.wait(10.0));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(SIGTERM, signals.signalNumber());
    // Never waited for: with the default action restored it would end the
    // test program.
    ASSERT_EQ(0, raise(SIGINT));
  }
  struct sigaction after;
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(before.sa_handler, after.sa_handler);
  EXPECT_EQ(blockedBefore, SignalBlockedInThisThread(SIGINT));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGINT));
}

// Waits up to 10 s (an upper bound only) for the program to end.
std::string EndOf(CommandLauncher& launcher) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!launcher.hasExited() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return launcher.hasExited() ? launcher.statusText() : "still running";
}

TEST(CommandLauncherTest, RunsTheProgramWithTheStopSignalsUnblockedAndReportsHowItEnded) {
  CommandLauncher exits({"/bin/sh", "-c", "exit 3"}, nullptr);
  EXPECT_GT(exits.pid(), 0);
  EXPECT_EQ("exited with status 3", EndOf(exits));
  // Reaped: the pid no longer names a process of ours.
  EXPECT_EQ(-1, waitpid(exits.pid(), nullptr, WNOHANG));

  StopSignal signals;
  // SigBlk of the shell itself: all zeros when nothing is blocked.
  CommandLauncher unblocked({"/bin/sh", "-c", "grep -q '^SigBlk:[[:space:]]*0*$' /proc/self/status"}, &signals);
  EXPECT_EQ("exited with status 0", EndOf(unblocked));
}

TEST(CommandLauncherTest, TerminateAndTheDestructorEndAndReapARunningProgram) {
  pid_t pid = -1;
  {
    CommandLauncher launcher({"sleep", "30"}, nullptr);
    pid = launcher.pid();
    launcher.terminate(5.0);
    EXPECT_TRUE(launcher.hasExited());
    EXPECT_EQ("killed by signal 15 (Terminated)", launcher.statusText());
  }
  EXPECT_EQ(-1, kill(pid, 0));
  {
    CommandLauncher launcher({"sleep", "30"}, nullptr);
    pid = launcher.pid();
  }
  EXPECT_EQ(-1, kill(pid, 0)) << "the destructor left the program running";
}

TEST(ProgressLineTest, RedrawsInPlaceAtMostEveryIntervalAndErasesAtTheEnd) {
  std::ostringstream out;
  {
    ProgressLine disabled(out, false);
    EXPECT_FALSE(disabled.update(0.0, 5, 2));
    disabled.finish();
  }
  EXPECT_EQ("", out.str()) << "disabled, it writes nothing";
  {
    ProgressLine line(out, true, 0.5);
    EXPECT_TRUE(line.due(0.0));
    EXPECT_TRUE(line.update(0.0, 0, 1));
    EXPECT_FALSE(line.due(0.3));
    EXPECT_FALSE(line.update(0.3, 10, 1)) << "too soon";
    EXPECT_TRUE(line.due(0.5));
    EXPECT_TRUE(line.update(0.6, 123, 4));
    line.finish();
    line.finish();
  }
  EXPECT_EQ(
      "\rRecording: 0.0 s, 0 samples, 1 thread\033[K"
      "\rRecording: 0.6 s, 123 samples, 4 threads\033[K"
      "\r\033[K",
      out.str());
  EXPECT_EQ("Recording: 12.3 s, 1 sample, 2 threads", ProgressLine::text(12.34, 1, 2));
}

TEST(LogCaptureTest, TheLastErrorLineBecomesAPlainReason) {
  EXPECT_EQ("unable to set target process to init process",
            LogCapture::lastErrorIn("DEBUG set up [QVSampler:10]\n"
                                    "ERROR first problem [Linux/QVDebuggerLinux:20]\n"
                                    "WARNING a warning [QVSampler:30]\n"
                                    "ERROR unable to set target process to init process [QVSamplerProcess:88]\n"));
  EXPECT_EQ("", LogCapture::lastErrorIn("WARNING only a warning [x:1]\n"));

  LogCapture capture;
  QV_ERROR("refused " << 42);
  EXPECT_EQ("refused 42", capture.lastError());
}

// Answers one error and one warning, the warning over two lines as the
// library's texts are.
class TwoMessages : public QVErrorMessageProvider {
 public:
  bool getErrorMessage(std::ostream& os, const std::string& id) const override {
    if (id != "TestErrorBroken") return false;
    os << "It broke.";
    return true;
  }
  bool getWarningMessage(std::ostream& os, const std::string& id) const override {
    if (id != "TestWarningSlow") return false;
    os << "It was slow." << std::endl << "         Try again.";
    return true;
  }
};

TEST(NotificationTextTest, ErrorsThenWarningsEachWithItsText) {
  QVErrorManager ids;
  ids.setWarningId("TestWarningSlow");
  ids.setErrorId("TestErrorBroken");
  ids.setWarningId("TestWarningNobodyKnows");
  std::ostringstream out;
  EXPECT_EQ(3u, NotificationText::write(out, TwoMessages(), ids, "qvprof: "));
  EXPECT_EQ(
      "qvprof: error TestErrorBroken: It broke.\n"
      "qvprof: warning TestWarningSlow: It was slow.\n"
      "         Try again.\n"
      "qvprof: warning TestWarningNobodyKnows: (no message for this identifier)\n",
      out.str());
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
