#include "base/QVLog.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace Quorvel {
namespace {

constexpr QVLogLevel kLevels[] = {QVLogLevel::Debug, QVLogLevel::Warning, QVLogLevel::Error};

// Counts how often it is formatted, to tell whether a message was built.
struct FormatCounter {
  mutable int count = 0;
};
std::ostream& operator<<(std::ostream& os, const FormatCounter& counter) {
  ++counter.count;
  return os << "counted";
}

// Every test starts with all flags off and a sink that records logged lines,
// and leaves the log as it found it.
class QVLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (QVLogLevel level : kLevels) {
      saved_.push_back(GetLogFlags(level));
      SetLogFlags(level, QVLogFlags{});
    }
    SetLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }

  void TearDown() override {
    SetLogSink(QVLogSink());
    for (size_t i = 0; i < saved_.size(); ++i) {
      SetLogFlags(kLevels[i], saved_[i]);
    }
  }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  std::vector<QVLogFlags> saved_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// With every flag off nothing is enabled and no message is even formatted.
TEST_F(QVLogTest, FlagsEnableEachLevelAndAMessageIsFormattedOnlyWhenItGoesSomewhere) {
  FormatCounter counter;
  QV_DEBUG(counter);
  QV_WARNING(counter);
  QV_ERROR(counter);
  EXPECT_EQ(counter.count, 0);
  EXPECT_TRUE(lines().empty());
  for (QVLogLevel level : kLevels) {
    EXPECT_FALSE(LogIsEnabled(level));
  }
  SetLogFlags(QVLogLevel::Warning, QVLogFlags{true, false, false});
  EXPECT_FALSE(LogIsEnabled(QVLogLevel::Debug));
  EXPECT_TRUE(LogIsEnabled(QVLogLevel::Warning));
  EXPECT_FALSE(LogIsEnabled(QVLogLevel::Error));
  SetLogFlags(QVLogLevel::Error, QVLogFlags{false, true, false});
  EXPECT_TRUE(LogIsEnabled(QVLogLevel::Error));
  // The call-stack flag alone sends the message nowhere.
  SetLogFlags(QVLogLevel::Debug, QVLogFlags{false, false, true});
  EXPECT_FALSE(LogIsEnabled(QVLogLevel::Debug));

  // Printed lines go to standard error, and print alone does not reach the sink.
  ::testing::internal::CaptureStderr();
  QV_ERROR("printed " << 42);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("ERROR printed 42 [QVLogTest:"), std::string::npos) << printed;
  EXPECT_TRUE(lines().empty());

  // The sink gets level, message, source and line of enabled levels only.
  SetLogFlags(QVLogLevel::Warning, QVLogFlags{});
  SetLogFlags(QVLogLevel::Error, QVLogFlags{});
  SetLogFlags(QVLogLevel::Debug, QVLogFlags{true, false, false});
  QV_DEBUG(counter);
  QV_WARNING(counter);
  EXPECT_EQ(counter.count, 1);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0].rfind("DEBUG counted [QVLogTest:", 0), 0u) << lines()[0];

  SetLogFlags(QVLogLevel::Warning, QVLogFlags{true, false, false});
  const int line = __LINE__ + 1;
  QV_WARNING("mapped " << 3 << " sections");
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[1], "WARNING mapped 3 sections [QVLogTest:" + std::to_string(line) + "]");
}

TEST_F(QVLogTest, SourceNameIsTheFileNameWithLinuxForLinuxClasses) {
  const std::pair<const char*, const char*> cases[] = {
      {"/work/main/profile/Linux/driver/QVSamplerLinux.cpp", "Linux/QVSamplerLinux"},
      {"/work/main/profile/Linux/QVProcessLinux.h", "Linux/QVProcessLinux"},
      {"Linux/QVThreadLinux.cpp", "Linux/QVThreadLinux"},
      {"/work/main/profile/recording/QVSessionRecorder.cpp", "QVSessionRecorder"},
      {"/work/main/profile/LinuxTools/QVThing.cpp", "QVThing"},       // only a folder named Linux counts
      {"/work/main/tools/qvprof/QVProfMain.cpp", "QVProfMain"},
      {"/usr/include/other/Header.hpp", "Header"},
      {"QVRangeMap2", "QVRangeMap2"},                                 // a literal name is kept
      {"/work/main/core/.hidden", ".hidden"},
      {"/work/main/core/Makefile", "Makefile"},
  };
  for (const auto& c : cases) {
    _LOG("ERROR", "x", c.first, 7, false, true, false, false);
  }
  const std::vector<std::string> logged = lines();
  ASSERT_EQ(logged.size(), std::size(cases));
  for (size_t i = 0; i < logged.size(); ++i) {
    EXPECT_EQ(logged[i], std::string("ERROR x [") + cases[i].second + ":7]") << cases[i].first;
  }
}

TEST_F(QVLogTest, CallstackFlagAppendsTheStack) {
  SetLogFlags(QVLogLevel::Error, QVLogFlags{true, false, true});
  QV_ERROR("with stack");
  ASSERT_EQ(lines().size(), 1u);
  const std::string line = lines()[0];
  const size_t trace = line.find("\nStack Trace: ");
  ASSERT_NE(trace, std::string::npos) << line;
  EXPECT_EQ(line.rfind("ERROR with stack [QVLogTest:", 0), 0u);
  // The logging call itself is somewhere below the trace header: at least
  // the test body and gtest's runner frames follow.
  EXPECT_GE(std::count(line.begin() + trace + 1, line.end(), '\n'), 2);
  // The logging machinery itself is not part of the reported stack.
  EXPECT_EQ(line.find("LogMessage"), std::string::npos) << line;
  EXPECT_EQ(line.find("_LOG"), std::string::npos) << line;
}

TEST_F(QVLogTest, CaptureEnablesEveryLevelCollectsWhateverTheFlagsAndNests) {
  FormatCounter counter;
  StartCaptureLog();
  for (QVLogLevel level : kLevels) {
    EXPECT_TRUE(LogIsEnabled(level));
  }
  QV_DEBUG("debug " << counter);
  QV_ERROR("error");
  std::string text;
  StopCaptureLog(text);
  EXPECT_EQ(counter.count, 1);
  std::regex expected("DEBUG debug counted \\[QVLogTest:\\d+\\]\nERROR error \\[QVLogTest:\\d+\\]\n");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  EXPECT_TRUE(lines().empty()) << "flags are off: capture must not reach the sink";
  for (QVLogLevel level : kLevels) {
    EXPECT_FALSE(LogIsEnabled(level));
  }

  // Captures nest; each returns what was logged since its start.
  StartCaptureLog();
  QV_DEBUG("A");
  StartCaptureLog();
  QV_DEBUG("B");
  std::string inner;
  StopCaptureLog(inner);
  EXPECT_TRUE(LogIsEnabled(QVLogLevel::Debug)) << "the outer capture is still active";
  QV_DEBUG("C");
  std::string outer;
  StopCaptureLog(outer);

  EXPECT_TRUE(std::regex_match(inner, std::regex("DEBUG B \\[QVLogTest:\\d+\\]\n"))) << inner;
  EXPECT_TRUE(std::regex_match(outer, std::regex("DEBUG A \\[[^\\]]+\\]\nDEBUG B \\[[^\\]]+\\]\nDEBUG C \\[[^\\]]+\\]\n")))
      << outer;

  // A fresh capture starts empty: the finished ones left nothing behind;
  // a stop without a start returns nothing.
  StartCaptureLog();
  std::string empty;
  StopCaptureLog(empty);
  EXPECT_EQ(empty, "");
  text = "stale";
  StopCaptureLog(text);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(LogIsEnabled(QVLogLevel::Debug));
}

TEST_F(QVLogTest, CaptureCollectsLinesOfOtherThreadsWhole) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 200;
  StartCaptureLog();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i) {
        QV_DEBUG("thread " << t << " line " << i);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  // Stopped from a thread other than the one that started it.
  std::string text;
  std::thread([&text] { StopCaptureLog(text); }).join();

  std::istringstream lines(text);
  std::string line;
  std::vector<int> next(kThreads, 0);
  const std::regex pattern("DEBUG thread (\\d) line (\\d+) \\[QVLogTest:\\d+\\]");
  int count = 0;
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, pattern)) << line;
    const int t = std::stoi(match[1]);
    // Each thread's lines arrive in the order it wrote them.
    EXPECT_EQ(std::stoi(match[2]), next[t]++);
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLinesEach);
}

TEST_F(QVLogTest, LogFileGetsTimestampedLinesAndABadPathKeepsTheSink) {
  test::ScratchDirectory scratch("qvlog");
  const std::string path = scratch.file("qv.log");
  SetLogFlags(QVLogLevel::Warning, QVLogFlags{true, false, false});

  EXPECT_FALSE(SetLogFile(scratch.file("missing/dir/qv.log")));
  QV_WARNING("still to the sink");
  const std::vector<std::string> kept = lines();
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].rfind("WARNING unable to open log file: " + scratch.file("missing/dir/qv.log"), 0), 0u) << kept[0];
  EXPECT_EQ(kept[1].rfind("WARNING still to the sink [QVLogTest:", 0), 0u) << kept[1];

  ASSERT_TRUE(SetLogFile(path));
  QV_WARNING("first");
  QV_WARNING("second");
  SetLogSink(QVLogSink());  // closes the file

  std::ifstream file(path);
  std::vector<std::string> written;
  for (std::string line; std::getline(file, line);) {
    written.push_back(line);
  }
  ASSERT_EQ(written.size(), 2u);
  const std::regex stamped("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(\\.\\d+)? WARNING (first|second) \\[QVLogTest:\\d+\\]");
  EXPECT_TRUE(std::regex_match(written[0], stamped)) << written[0];
  EXPECT_TRUE(std::regex_match(written[1], stamped)) << written[1];
  EXPECT_NE(written[1].find("second"), std::string::npos);
}

// The environment is read when the library loads, so the check runs in a
// child process started with the variable set.
TEST(QVLogEnvironment, DebugLogVariableTurnsOnDebugPrinting) {
  if (std::getenv("QV_DEBUG_LOG") != nullptr) {
    EXPECT_TRUE(GetLogFlags(QVLogLevel::Debug).print);
    EXPECT_TRUE(LogIsEnabled(QVLogLevel::Debug));
    return;
  }
  // Presence alone counts: the variable is set to nothing.
  EXPECT_EQ(test::RunThisProgramAgain("QVLogEnvironment.DebugLogVariableTurnsOnDebugPrinting", "QV_DEBUG_LOG="), 0);
}

}  // namespace
}  // namespace Quorvel
