#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"
#include "base/QVLog.h"
#include "CommandLauncher.h"
#include "LogCapture.h"
#include "NotificationText.h"
#include "ProgressLine.h"
#include "StopSignal.h"

namespace Quorvel {
namespace qvprof {
namespace {

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
