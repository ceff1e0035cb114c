#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "archivers/QVUniqueCallStackTenureArchiver.h"
#include "config/QVSessionConfig.h"
#include "export/QVContextText.h"
#include "InfoCommand.h"
#include "RecordCommand.h"
#include "RecordingProperties.h"
#include "ReportCommand.h"
#include "ScriptCommand.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "SessionSamples.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"

// Functions of this test program that the synthetic samples point into, so
// that every frame resolves through the real process model: one C name and
// one C++ name (which the output must show demangled).
extern "C" __attribute__((noinline, used)) int qvprof_text_outer(int x) {
  asm volatile("" ::: "memory");
  return x + 1;
}
extern "C" __attribute__((noinline, used)) int qvprof_text_leaf_one(int x) {
  asm volatile("" ::: "memory");
  return x + 2;
}
extern "C" __attribute__((noinline, used)) int qvprof_text_leaf_two(int x) {
  asm volatile("" ::: "memory");
  return x + 3;
}
namespace qvproftext {
__attribute__((noinline, used)) int middleFrame(int x) {
  asm volatile("" ::: "memory");
  return x + 4;
}
}  // namespace qvproftext

namespace Quorvel {
namespace qvprof {
namespace {

uint64_t Inside(int (*function)(int)) { return test::SyntheticSession::inside(function); }

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// A session of this process: four samples of the main thread, written to a
// file and read back the way qvprof reads any session.
//   ticks 3000, 1000, 2000: outer <- middleFrame <- leaf_one  (archived out of time order)
//   tick 4000:              outer <- middleFrame <- leaf_two
// so by symbol the tree view has outer and middleFrame at 100%, leaf_one at
// 75% and leaf_two at 25%.
class SessionTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::SyntheticSession session(2);
    threadId_ = session.context().threadId();
    const std::vector<uint64_t> one =
        test::SyntheticSession::inside({qvprof_text_leaf_one, qvproftext::middleFrame, qvprof_text_outer});
    const std::vector<uint64_t> two =
        test::SyntheticSession::inside({qvprof_text_leaf_two, qvproftext::middleFrame, qvprof_text_outer});
    session.sample(2000, 3000, one);
    session.sample(0, 1000, one);
    session.sample(1000, 2000, one);
    session.sample(3000, 4000, two);
    auto profile = session.profile(0, 5000, "2026-12-05 10:00:00", 2500000);
    profile->mutableProperties().setString(RecordingProperties::StopReason, "user");
    profile->mutableProperties().setString(QVSessionProfile::KeyProfileDriverName, "process");
    QVSessionFile::write(*profile, path_);
  }

  std::string Script() {
    std::ostringstream out;
    ScriptCommand::writeScript(out, SessionSamples(path_));
    return out.str();
  }

  std::string Report(const ReportCommand::Options& options) {
    std::ostringstream out;
    EXPECT_TRUE(ReportCommand::writeReport(out, SessionSamples(path_), options));
    return out.str();
  }

  QVThreadId threadId_;
  test::ScratchDirectory scratch_{"qvproftext"};
  std::string path_ = scratch_.file("text.qvprof");
};

TEST_F(SessionTextTest, ScriptWritesOneBlockPerSampleInTimeOrderWithResolvedFrames) {
  const std::string script = Script();
  const std::string exe = OwnExecutable();
  const std::string header = QVContextText::commandName(threadId_) + " " + std::to_string(getpid()) + "/" +
                             std::to_string(threadId_.nativeIdentifier()) + " [002] ";
  auto frame = [](uint64_t address, const std::string& symbol, const std::string& module) {
    std::ostringstream line;
    line << '\t' << std::hex << address << ' ' << symbol << "+0x1 (" << module << ")\n";
    return line.str();
  };
  const std::string one = frame(Inside(qvprof_text_leaf_one), "qvprof_text_leaf_one", exe) +
                          frame(Inside(qvproftext::middleFrame), "qvproftext::middleFrame(int)", exe) +
                          frame(Inside(qvprof_text_outer), "qvprof_text_outer", exe);
  const std::string two = frame(Inside(qvprof_text_leaf_two), "qvprof_text_leaf_two", exe) +
                          frame(Inside(qvproftext::middleFrame), "qvproftext::middleFrame(int)", exe) +
                          frame(Inside(qvprof_text_outer), "qvprof_text_outer", exe);
  // Stamps are the end ticks (nanoseconds) as seconds and microseconds.
  EXPECT_EQ(header + "0.000001\n" + one + "\n" + header + "0.000002\n" + one + "\n" + header + "0.000003\n" + one +
                "\n" + header + "0.000004\n" + two + "\n",
            script);
}

// One sample with a 50,000-frame stack (a runaway recursion): every view
// walks it without running out of the thread's stack (30,000 frames used to
// overflow the recursive printer), and the tree shows every level.
TEST_F(SessionTextTest, AStackOf50000FramesGoesThroughEveryView) {
  const size_t kFrames = 50000;
  std::vector<uint64_t> deep(kFrames, Inside(qvproftext::middleFrame));
  deep.front() = Inside(qvprof_text_leaf_one);
  deep.back() = Inside(qvprof_text_outer);
  test::SyntheticSession session(0);
  session.sample(0, 1000, deep);
  const auto profile = session.profile(0, 1000, "2026-12-05 10:00:00", 1000000);
  QVSessionFile::write(*profile, path_);

  const std::string script = Script();
  EXPECT_EQ(kFrames + 2, static_cast<size_t>(std::count(script.begin(), script.end(), '\n')))
      << "one line per frame, the header and the blank line after the block";
  for (QVCallTree::Topology topology : {QVCallTree::tree, QVCallTree::leaf}) {
    for (QVCallTree::Granularity granularity :
         {QVCallTree::address, QVCallTree::symbol, QVCallTree::module, QVCallTree::file, QVCallTree::line}) {
      ReportCommand::Options options;
      options.topology = topology;
      options.granularity = granularity;
      options.minPercent = 0;
      const std::string report = Report(options);
      // Address and symbol keep every level; module, file and line may merge
      // a run of frames into one node, which is still printed.
      const size_t nodes = static_cast<size_t>(std::count(report.begin(), report.end(), '%')) / 2;
      if (granularity == QVCallTree::address || granularity == QVCallTree::symbol) {
        EXPECT_EQ(kFrames, nodes) << topology << "/" << granularity;
        EXPECT_NE(std::string::npos, report.find("[49999] ")) << "deep lines name their depth";
      } else {
        EXPECT_GE(nodes, 1u) << topology << "/" << granularity;
      }
    }
  }
}

TEST_F(SessionTextTest, ReportViewsDepthMinPercentAndGranularitiesShowWhatTheySay) {
  ReportCommand::Options options;
  const std::string report = Report(options);
  const std::string exeName = OwnExecutable().substr(OwnExecutable().rfind('/') + 1);
  EXPECT_NE(std::string::npos, report.find("Call tree: 4 samples, 1 thread of 1 process, tree view by symbol\n"))
      << report;
  // Depth shows as two blanks a level after the four number columns;
  // callers above callees, the heaviest first.
  const std::string expected =
      "100.00%   0.00%         4         0  qvprof_text_outer (" + exeName + ")\n" +
      "100.00%   0.00%         4         0    qvproftext::middleFrame(int) (" + exeName + ")\n" +
      " 75.00%  75.00%         3         3      qvprof_text_leaf_one (" + exeName + ")\n" +
      " 25.00%  25.00%         1         1      qvprof_text_leaf_two (" + exeName + ")\n";
  EXPECT_NE(std::string::npos, report.find(expected)) << report;

  options.topology = QVCallTree::leaf;
  options.depth = 1;
  const std::string leaf = Report(options);
  const std::string topLevel = "\n 75.00%  75.00%         3         3  qvprof_text_leaf_one (" + exeName + ")\n" +
                               " 25.00%  25.00%         1         1  qvprof_text_leaf_two (" + exeName + ")\n";
  ASSERT_GE(leaf.size(), topLevel.size());
  EXPECT_EQ(topLevel, leaf.substr(leaf.size() - topLevel.size())) << leaf;
  EXPECT_EQ(std::string::npos, leaf.find("middleFrame")) << "--depth 1 shows only the sampled functions";

  // --min-percent hides light nodes and says so.
  ReportCommand::Options light;
  light.minPercent = 50.0;
  const std::string hidden = Report(light);
  EXPECT_NE(std::string::npos, hidden.find("qvprof_text_leaf_one")) << hidden;
  EXPECT_EQ(std::string::npos, hidden.find("qvprof_text_leaf_two")) << hidden;
  EXPECT_NE(std::string::npos, hidden.find("\n1 node under 50% hidden (--min-percent 0 shows all).\n")) << hidden;

  options = ReportCommand::Options();
  options.granularity = QVCallTree::module;
  const std::string byModule = Report(options);
  // Every frame lies in this program: one node with all samples, the
  // sampled frame at its own level each time.
  EXPECT_NE(std::string::npos, byModule.find("100.00%   0.00%         4         0  " + OwnExecutable() + "\n"))
      << byModule;

  // This program has line information: the outermost frame's line, named
  // with its function.
  options.granularity = QVCallTree::line;
  const std::string byLine = Report(options);
  const std::string outerRow = "\n100.00%   0.00%         4         0  ";
  const size_t row = byLine.find(outerRow);
  ASSERT_NE(std::string::npos, row) << byLine;
  const std::string label = byLine.substr(row + outerRow.size(), byLine.find('\n', row + 1) - row - outerRow.size());
  EXPECT_NE(std::string::npos, label.find("SessionTextTest.cpp:")) << label;
  EXPECT_EQ(label.size() - std::string(" (qvprof_text_outer)").size(), label.rfind(" (qvprof_text_outer)")) << label;

  options.granularity = QVCallTree::address;
  const std::string byAddress = Report(options);
  std::ostringstream outer;
  outer << "0x" << std::hex << Inside(qvprof_text_outer) << " qvprof_text_outer+0x1 (";
  EXPECT_NE(std::string::npos, byAddress.find(outer.str())) << byAddress;
}

TEST_F(SessionTextTest, InfoDescribesSpanStopReasonProcessesThreadsAbsurdTimesAndEmptySessions) {
  std::ostringstream out;
  InfoCommand::writeInfo(out, SessionSamples(path_));
  const std::string info = out.str();
  for (const std::string& line :
       {std::string("Started:       2026-12-05 10:00:00 UTC\n"), std::string("Ended:         2026-12-05 10:00:02.500000 UTC\n"),
        std::string("Duration:      2.500 s\n"), std::string("Stop reason:   user\n"), std::string("Driver:        process\n"),
        std::string("Samples:       4 call stacks\n"), "Processes:     1\n  pid " + std::to_string(getpid()),
        "Threads:       1\n  tid " + std::to_string(threadId_.nativeIdentifier()), std::string("         4 samples  ")}) {
    EXPECT_NE(std::string::npos, info.find(line)) << line << "\n" << info;
  }

  // Numbers from a hostile or damaged file print as what they are: an interval
  // of 1e308 s and an end before the start.
  auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser);
  config->timerConfig->interval = 1e308;
  QVSessionProfile profile(config, boost::posix_time::time_from_string("2026-12-05 10:00:02"),
                           boost::posix_time::time_from_string("2026-12-05 10:00:00"), false, true);
  QVSessionFile::write(profile, path_);
  std::ostringstream absurd;
  InfoCommand::writeInfo(absurd, SessionSamples(path_));
  EXPECT_NE(std::string::npos, absurd.str().find("every 2.78e+304 hr")) << absurd.str();
  EXPECT_NE(std::string::npos, absurd.str().find("Duration:      unknown (the end precedes the start)\n"))
      << absurd.str();

  // A session without times or call stacks: no blocks, no report, zero
  // counts.
  QVSessionProfile empty(std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerUser),
                         boost::posix_time::ptime(), boost::posix_time::ptime(), false, true);
  QVSessionFile::write(empty, path_);
  const SessionSamples session(path_);
  std::ostringstream script;
  ScriptCommand::writeScript(script, session);
  EXPECT_EQ("", script.str());
  std::ostringstream report;
  EXPECT_FALSE(ReportCommand::writeReport(report, session, ReportCommand::Options()));
  std::ostringstream nothing;
  InfoCommand::writeInfo(nothing, session);
  EXPECT_NE(std::string::npos, nothing.str().find("Started:       unknown\n")) << nothing.str();
  EXPECT_NE(std::string::npos, nothing.str().find("Samples:       0 call stacks\nProcesses:     0\n")) << nothing.str();
  EXPECT_EQ(std::string::npos, nothing.str().find("Stop reason")) << "qvprof did not record this one";
}

TEST_F(SessionTextTest, RecordRateComparesStacksAskedForWithStacksTaken) {
  // Two stacks a tick (two contexts), at the ticks given, over 0.1 s with
  // a 1 ms interval: 2000 stacks a second asked for.
  auto profileWithTicks = [this](int ticks) {
    const std::vector<uint64_t> stack = {Inside(qvprof_text_leaf_one), Inside(qvprof_text_outer)};
    auto stacks = std::make_shared<QVUniqueCallStackTenureArchiver>();
    for (int tick = 1; tick <= ticks; ++tick) {
      const uint64_t end = static_cast<uint64_t>(tick) * 1000000u;
      stacks->archive(QVContext::uniqueContext(threadId_, 0, QVContext::StateUser), end - 1000000u, end, stack);
      stacks->archive(QVContext::uniqueContext(threadId_, 1, QVContext::StateUser), end - 1000000u, end, stack);
    }
    auto profile = std::make_shared<QVSessionProfile>(nullptr, boost::posix_time::ptime(),
                                                      boost::posix_time::ptime(), false, true);
    profile->setCallStackData(std::make_shared<QVSessionDataCallStackTenures>(stacks));
    return profile;
  };

  // Without samples there is nothing to judge: not behind.
  const struct {
    int ticks;
    double asked, taken;
    bool fellBehind;
  } cases[] = {{5, 2000.0, 100.0, true}, {100, 2000.0, 2000.0, false}, {0, 0.0, 0.0, false}};
  for (const auto& c : cases) {
    const RecordCommand::Rate rate = RecordCommand::rateOf(*profileWithTicks(c.ticks), 0.001, 0.1);
    EXPECT_DOUBLE_EQ(c.asked, rate.askedPerSecond) << c.ticks;
    EXPECT_DOUBLE_EQ(c.taken, rate.takenPerSecond) << c.ticks;
    EXPECT_EQ(c.fellBehind, rate.fellBehind) << c.ticks;
  }
}

}  // namespace
}  // namespace qvprof
}  // namespace Quorvel
