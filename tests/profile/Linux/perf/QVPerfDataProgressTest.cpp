#include "Linux/perf/QVPerfDataProgress.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "support/QVPerfDataBuilder.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;

namespace {

void writePrefix(const std::string& path, const std::vector<std::uint8_t>& bytes, std::size_t length) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                 static_cast<std::streamsize>(length));
}

// A file as perf leaves it while recording: the header and attributes
// first, then records appended, the last one possibly cut short. The
// identifier leads each sample and names one of two events.
TEST(QVPerfDataProgressTest, CountsTheWholeRecordsWrittenSoFar) {
  constexpr std::uint64_t kType = QV_PERF_SAMPLE_IDENTIFIER | QV_PERF_SAMPLE_IP | QV_PERF_SAMPLE_TID |
                                  QV_PERF_SAMPLE_TIME;
  test::QVPerfDataBuilder builder;
  const std::size_t clock = builder.addAttribute(1, 0, kType, {7});
  const std::size_t dummy = builder.addAttribute(1, 9, kType, {8});
  builder.addComm(10, 11, "app");
  for (const auto& [attribute, identifier, tid] :
       {std::tuple<std::size_t, std::uint64_t, std::int32_t>{clock, 7, 11}, {dummy, 8, 12}, {clock, 7, 11}}) {
    test::QVPerfTestSample sample;
    sample.identifier = identifier;
    sample.pid = 10;
    sample.tid = tid;
    builder.addSample(attribute, sample);
  }
  const std::vector<std::uint8_t> bytes = builder.build();
  QVPerfDataFile parsed;
  ASSERT_TRUE(parsed.parse(bytes.data(), bytes.size(), "built"));
  const std::vector<QVPerfRecordRef>& records = parsed.records();
  ASSERT_EQ(4u, records.size());
  std::uint64_t dataOffset = 0;
  std::memcpy(&dataOffset, bytes.data() + 40, sizeof dataOffset);

  test::ScratchDirectory scratch("qvprogress");
  const std::string path = scratch.file("perf.data");
  QVPerfDataProgress progress(path);
  EXPECT_FALSE(progress.update()) << "no file yet";
  const struct {
    const char* what;
    std::size_t length;
    bool readable;
    std::uint64_t samples;
    std::size_t threads;
  } stages[] = {
      {"part of the header", 40, false, 0, 0},
      {"header and attributes", dataOffset, true, 0, 0},
      {"a comm and half a sample", records[1].offset + records[1].size / 2, true, 0, 0},
      {"the first sample", records[2].offset, true, 1, 1},
      {"every record but the last cut short", bytes.size() - 1, true, 2, 2},
      {"every record", bytes.size(), true, 3, 2},
      {"nothing new", bytes.size(), true, 3, 2},
  };
  for (const auto& stage : stages) {
    writePrefix(path, bytes, stage.length);
    EXPECT_EQ(stage.readable, progress.update()) << stage.what;
    EXPECT_EQ(stage.samples, progress.samples()) << stage.what;
    EXPECT_EQ(stage.threads, progress.threads()) << stage.what;
  }

  // perf moves an old file away and starts a new one under the name.
  const std::string next = scratch.file("next.data");
  writePrefix(next, bytes, records[3].offset);
  ASSERT_EQ(0, ::rename(next.c_str(), path.c_str()));
  EXPECT_TRUE(progress.update());
  EXPECT_EQ(2u, progress.samples());

  // A record of no size ends the count where it was.
  std::vector<std::uint8_t> damaged = bytes;
  damaged.insert(damaged.end(), {9, 0, 0, 0, 0, 0, 0, 0});
  writePrefix(path, damaged, damaged.size());
  EXPECT_FALSE(progress.update());
  EXPECT_EQ(3u, progress.samples());
}

// Real perf, followed while it records a busy program: samples show up
// before it exits, and at the end the count is what the finished file
// holds.
TEST(QVPerfDataProgressTest, FollowsRealPerfWhileItRecords) {
  const auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  const std::string perf = driver ? driver->perfBinaryPath() : std::string();
  if (perf.empty()) GTEST_SKIP() << "perf is not installed";
  test::ScratchDirectory scratch("qvprogress");
  const std::string path = scratch.file("live.data");
  // Small buffers (-m 8: 8 pages) make perf write out every few hundred
  // samples, so a second of samples every 0.2 ms reaches the file in parts.
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(perf.c_str(), perf.c_str(), "record", "-q", "-m", "8", "-e", "cpu-clock", "-c", "200000", "-o",
            path.c_str(), "--", QV_CALL_CHAIN_PROBE_FP_G, "spin", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  QVPerfDataProgress progress(path);
  std::uint64_t seenWhileRecording = 0;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    progress.update();
    seenWhileRecording = progress.samples();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "perf cannot record here: " << status;
  EXPECT_GT(seenWhileRecording, 0u);
  progress.update();
  std::string bytes;
  ASSERT_TRUE(FileReadString(path, bytes));
  QVPerfDataFile finished;
  ASSERT_TRUE(finished.parse(bytes.data(), bytes.size(), path)) << finished.error();
  EXPECT_EQ(finished.sampleCount(), progress.samples());
  EXPECT_GE(progress.samples(), seenWhileRecording);
  EXPECT_GE(progress.threads(), 1u);
}

}  // namespace
