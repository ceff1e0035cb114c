#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "Linux/perf/QVPerfCallchain.h"
#include "Linux/perf/QVPerfDataFile.h"
#include "Linux/perf/QVPerfDataProgress.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "support/ElfProbes.h"
#include "support/QVPerfDataBuilder.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;
using Quorvel::test::QVPerfDataBuilder;
using Quorvel::test::QVPerfTestSample;

namespace {

// sample_type of `perf record -a -g` without and with today's IDENTIFIER:
// IP | TID | TIME | CALLCHAIN | CPU | PERIOD (0x1a7), RAW added by -R.
constexpr std::uint64_t kCallstackType = 0x1a7;
constexpr std::uint64_t kRawCallstackType = kCallstackType | QV_PERF_SAMPLE_RAW;
constexpr std::uint64_t kIdentifier = QV_PERF_SAMPLE_IDENTIFIER;

struct Parsed {
  QVPerfDataFile file;
  std::vector<std::uint8_t> bytes;
  bool ok = false;
};

void parse(Parsed& parsed, std::vector<std::uint8_t> bytes) {
  parsed.bytes = std::move(bytes);
  parsed.ok = parsed.file.parse(parsed.bytes.data(), parsed.bytes.size(), "f.data");
}

QVPerfTestSample sampleAt(std::uint64_t time, std::uint64_t identifier = 0) {
  QVPerfTestSample sample;
  sample.identifier = identifier;
  sample.ip = 0x401000 + time;
  sample.pid = 100;
  sample.tid = 101;
  sample.time = time;
  sample.cpu = 1;
  sample.callchain = {QV_PERF_CONTEXT_USER, sample.ip, 0x402000};
  return sample;
}

QVPerfDataBuilder twoSampleFile() {
  QVPerfDataBuilder builder;
  std::size_t attr = builder.addAttribute(1, 0, kCallstackType, {7});
  builder.addComm(100, 101, "worker");
  builder.addSample(attr, sampleAt(10));
  builder.addSample(attr, sampleAt(20));
  return builder;
}

TEST(QVPerfDataFileTest, HeaderAndSectionFaultsFailWithTheirMessageAndAMinimalHeaderReads) {
  struct Case {
    const char* what;
    std::function<std::vector<std::uint8_t>()> make;
    const char* error;
  };
  // The two-sample file with its attributes section moved.
  const auto attrsAt = [](std::uint64_t offset, std::uint64_t size) {
    return [offset, size] {
      QVPerfDataBuilder builder = twoSampleFile();
      builder.overrideAttrs = true;
      builder.attrsOverride = {offset, size};
      return builder.build();
    };
  };
  const Case cases[] = {
      {"71 bytes", [] { return std::vector<std::uint8_t>(71, 0); },
       "perf file \"f.data\" is too short to contain file header"},
      {"bad magic",
       [] {
         QVPerfDataBuilder builder;
         builder.magic = "PERFXXXX";
         return builder.build();
       },
       "bad magic for \"f.data\" - 0x5858585846524550"},
      {"attrs past the end", attrsAt(104, 1u << 20), "perf event attributes section out of range in \"f.data\""},
      {"attrs offset wrapping around 64 bits", attrsAt(~0ull - 7, 16),
       "perf event attributes section out of range in \"f.data\""},
      // The id section (8 bytes) and 100 of a 128-byte entry.
      {"attr entry cut short", attrsAt(112, 100), "perf event attribute 0 attr structure out of range in \"f.data\""},
      {"id section structure cut short", attrsAt(112, 120),
       "perf event attribute 0 id section structure out of range in \"f.data\""},
      {"id section past the end",
       [] {
         // The only id section's offset sits in the attribute entry at 104 + 8 + 112.
         std::vector<std::uint8_t> bytes = twoSampleFile().build();
         const std::uint64_t far = 1u << 30;
         std::memcpy(bytes.data() + 104 + 8 + 112, &far, 8);
         return bytes;
       },
       "perf event attribute 0 id section out of range in \"f.data\""},
      {"data past the end",
       [] {
         QVPerfDataBuilder builder = twoSampleFile();
         builder.overrideData = true;
         builder.dataOverride = {240, ~0ull};
         return builder.build();
       },
       "perf event data section out of range in \"f.data\""},
      {"different sample types without IDENTIFIER",
       [] {
         QVPerfDataBuilder builder;
         builder.addAttribute(1, 0, kCallstackType, {1});
         builder.addAttribute(1, 9, kCallstackType | QV_PERF_SAMPLE_ID, {2});
         return builder.build();
       },
       "perf event attribute inconsistent sample types"},
  };
  for (const Case& c : cases) {
    Parsed parsed;
    parse(parsed, c.make());
    EXPECT_FALSE(parsed.ok) << c.what;
    EXPECT_EQ(parsed.file.error(), c.error) << c.what;
  }

  // The header alone, both sections empty, reads as an empty file.
  std::vector<std::uint8_t> bytes = QVPerfDataBuilder().build();
  bytes.resize(72);  // the used header alone; both sections empty at offset 104
  std::uint64_t zero = 0;
  for (std::size_t field : {24, 40}) std::memcpy(bytes.data() + field, &zero, 8);
  Parsed parsed;
  parse(parsed, bytes);
  ASSERT_TRUE(parsed.ok) << parsed.file.error();
  EXPECT_EQ(parsed.file.version(), 2);
  EXPECT_TRUE(parsed.file.records().empty());
  EXPECT_TRUE(parsed.file.warnings().empty());
}

// The sample fields in ABI order are the golden files' and the call-chain
// table's case; here the COMM record and a chain read past its end.
TEST(QVPerfDataFileTest, CommRecordsAndChainsDecode) {
  Parsed parsed;
  parse(parsed, twoSampleFile().build());
  ASSERT_TRUE(parsed.ok) << parsed.file.error();
  ASSERT_EQ(parsed.file.records().size(), 3u);
  EXPECT_EQ(parsed.file.sampleCount(), 2u);

  QVPerfCommRecord comm;
  ASSERT_TRUE(parsed.file.decodeComm(parsed.file.records()[0], comm));
  EXPECT_EQ(comm.pid, 100);
  EXPECT_EQ(comm.tid, 101);
  EXPECT_EQ(comm.comm, "worker");

  QVPerfSample sample;
  ASSERT_TRUE(parsed.file.decodeSample(parsed.file.records()[2], sample));
  ASSERT_EQ(sample.callchainCount, 3u);
  EXPECT_EQ(sample.callchainAt(2), 0x402000u);
  EXPECT_EQ(sample.callchainAt(3), 0u);  // past the chain
}

TEST(QVPerfDataFileTest, IdentifierSelectsEachSamplesAttribute) {
  // Today's perf: a cpu-clock event with raw data and a dummy event that
  // samples less; both carry IDENTIFIER, so their types may differ.
  QVPerfDataBuilder builder;
  std::size_t clock = builder.addAttribute(1, 0, kRawCallstackType | kIdentifier, {11, 12});
  std::size_t dummy =
      builder.addAttribute(1, 9, QV_PERF_SAMPLE_TID | QV_PERF_SAMPLE_TIME | kIdentifier, {13});
  QVPerfTestSample withRaw = sampleAt(5, 12);
  withRaw.raw = {0, 0, 0, 0};
  builder.addSample(clock, withRaw);
  builder.addSample(dummy, sampleAt(6, 13));
  builder.addSample(dummy, sampleAt(7, 99));  // names no attribute
  Parsed parsed;
  parse(parsed, builder.build());
  ASSERT_TRUE(parsed.ok) << parsed.file.error();
  ASSERT_EQ(parsed.file.records().size(), 3u);

  QVPerfSample sample;
  ASSERT_TRUE(parsed.file.decodeSample(parsed.file.records()[0], sample));
  EXPECT_EQ(sample.attr, &parsed.file.attributes()[0]);
  EXPECT_EQ(sample.id, 12u);
  EXPECT_TRUE(sample.hasRaw);
  EXPECT_EQ(sample.rawTypeId(), 0);
  EXPECT_EQ(sample.time, 5u);

  ASSERT_TRUE(parsed.file.decodeSample(parsed.file.records()[1], sample));
  EXPECT_EQ(sample.attr, &parsed.file.attributes()[1]);
  EXPECT_EQ(sample.time, 6u);
  EXPECT_FALSE(sample.hasCallchain);

  EXPECT_FALSE(parsed.file.decodeSample(parsed.file.records()[2], sample));
}

TEST(QVPerfDataFileTest, DamagedRecordStreamKeepsWhatCameBefore) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> tail;
    std::size_t records;
    const char* warning;
  };
  const Case cases[] = {
      // A header that claims 64 bytes with only 16 present.
      {"truncated last record",
       {9, 0, 0, 0, 0, 0, 64, 0, 1, 2, 3, 4, 5, 6, 7, 8},
       3,
       "aborting parse of perf file data - truncated event data detected"},
      {"zero-size record",
       {9, 0, 0, 0, 0, 0, 0, 0},
       3,
       "aborting parse of perf file data - event record of size 0 at offset 0x"},
      {"unknown type", {0x30, 0, 0, 0, 0, 0, 8, 0}, 3, "PERF_RECORD_UNKNOWN - type 0x30"},
      {"MMAP2 and KSYMBOL are known", {10, 0, 0, 0, 0, 0, 8, 0, 17, 0, 0, 0, 0, 0, 8, 0}, 5, nullptr},
      {"trailing bytes shorter than a header", {1, 2, 3}, 3, nullptr},
  };
  for (const Case& c : cases) {
    QVPerfDataBuilder builder = twoSampleFile();
    builder.addRawData(c.tail);
    Parsed parsed;
    parse(parsed, builder.build());
    ASSERT_TRUE(parsed.ok) << c.what << ": " << parsed.file.error();
    EXPECT_EQ(parsed.file.records().size(), c.records) << c.what;
    EXPECT_EQ(parsed.file.sampleCount(), 2u) << c.what;
    if (c.warning) {
      ASSERT_EQ(parsed.file.warnings().size(), 1u) << c.what;
      EXPECT_EQ(parsed.file.warnings()[0].rfind(c.warning, 0), 0u) << parsed.file.warnings()[0];
    } else {
      EXPECT_TRUE(parsed.file.warnings().empty()) << c.what;
    }
  }
}

TEST(QVPerfDataFileTest, SampleFieldsRunningPastTheRecordAreRejected) {
  struct Case {
    const char* what;
    std::uint64_t chainCount;
    std::uint32_t rawSize;
  };
  const Case cases[] = {
      {"chain count past the record", 1000, 4},
      {"chain count overflowing the byte count", 1ull << 61, 4},
      {"raw size past the record", 0, 4096},
  };
  for (const Case& c : cases) {
    test::QVByteWriter body;
    body.put<std::uint64_t>(0x401000).put<std::int32_t>(1).put<std::int32_t>(1).put<std::uint64_t>(5);
    body.put<std::uint32_t>(0).put<std::uint32_t>(0).put<std::uint64_t>(1);
    body.put(c.chainCount).put(c.rawSize).put<std::uint32_t>(0);
    QVPerfDataBuilder builder;
    builder.addAttribute(1, 0, kRawCallstackType, {});
    builder.addRecord(QV_PERF_RECORD_SAMPLE, body.bytes());
    Parsed parsed;
    parse(parsed, builder.build());
    ASSERT_TRUE(parsed.ok) << c.what;
    QVPerfSample sample;
    EXPECT_FALSE(parsed.file.decodeSample(parsed.file.records().at(0), sample)) << c.what;
  }
}

// perf.data files recorded on this machine with perf 6.1 on kernel 6.18,
// each beside the samples that `perf script -F pid,tid,time,ip -G --ns`
// printed for it (first, second and last column kept):
//   tiny-cs     perf record -e cpu-clock -c 1000000 -g -- dd ...
//   tiny-sched  perf record -R -c 1 -e sched:sched_switch -- sleep 0.01
//   tiny-sys    perf record -e raw_syscalls:sys_enter -e raw_syscalls:sys_exit -- /bin/true
const std::string kGolden = QV_TEST_DATA_DIR "/profile/Linux/perf/golden/";

TEST(QVPerfDataGoldenTest, SamplesMatchWhatPerfScriptPrints) {
  for (const char* name : {"tiny-cs", "tiny-sched", "tiny-sys"}) {
    const std::string bytes = test::ReadWholeFile(kGolden + name + ".data");
    ASSERT_FALSE(bytes.empty()) << name;
    QVPerfDataFile file;
    ASSERT_TRUE(file.parse(bytes.data(), bytes.size(), name)) << file.error();
    EXPECT_TRUE(file.warnings().empty()) << name << ": " << file.warnings().front();

    std::vector<QVPerfSample> samples;
    for (const QVPerfRecordRef& record : file.records()) {
      QVPerfSample sample;
      if (record.type != QV_PERF_RECORD_SAMPLE) continue;
      ASSERT_TRUE(file.decodeSample(record, sample)) << name << " at " << record.offset;
      samples.push_back(sample);
    }
    std::stable_sort(samples.begin(), samples.end(),
                     [](const QVPerfSample& a, const QVPerfSample& b) { return a.time < b.time; });
    std::ostringstream printed;
    for (const QVPerfSample& sample : samples) {
      char line[128];
      std::snprintf(line, sizeof(line), "%d/%d %" PRIu64 ".%09" PRIu64 ": %" PRIx64 "\n", sample.pid,
                    sample.tid, sample.time / 1000000000, sample.time % 1000000000, sample.ip);
      printed << line;
    }
    EXPECT_EQ(printed.str(), test::ReadWholeFile(kGolden + name + ".samples.txt")) << name;
  }
}

constexpr std::uint64_t K = QV_PERF_CONTEXT_KERNEL, U = QV_PERF_CONTEXT_USER;
constexpr std::uint64_t kGuest = 0xFFFFFFFFFFFFF800ull;  // PERF_CONTEXT_GUEST

TEST(QVPerfCallchainTest, FramesOfTheFirstContextAndTheUserCallersOfKernelFrames) {
  struct Case {
    const char* what;
    std::uint64_t ip;
    std::uint16_t misc;  // cpumode 1 kernel, 2 user
    std::vector<std::uint64_t> chain;
    bool supported;
    std::uint64_t context;
    std::vector<std::uint64_t> frames;
  };
  const Case cases[] = {
      {"ip leads the chain, user callers follow", 0xa, 1, {K, 0xa, 0xb, U, 0xc}, true, K, {0xa, 0xb, 0xc}},
      {"ip added before the chain", 0x1, 1, {K, 0xa, 0xb, U, 0xc}, true, K, {0x1, 0xa, 0xb, 0xc}},
      {"a guest marker ends a kernel chain", 0xa, 1, {K, 0xa, kGuest, 0xc}, true, K, {0xa}},
      {"a second kernel marker ends a user chain", 0xc, 2, {U, 0xc, K, 0xa}, true, U, {0xc}},
      {"user chain", 0xc, 2, {U, 0xc, 0xd}, true, U, {0xc, 0xd}},
      {"marker alone", 0x5, 2, {U}, true, U, {0x5}},
      {"no chain, user mode", 0x5, 2, {}, true, U, {0x5}},
      {"no chain, kernel mode", 0x5, 1, {}, true, K, {0x5}},
      {"no chain, hypervisor mode", 0x5, 3, {}, true, 0, {}},
      {"guest context", 0x5, 2, {kGuest, 0x5}, false, kGuest, {}},
  };
  for (const Case& c : cases) {
    QVPerfDataBuilder builder;
    QVPerfTestSample sample;
    sample.ip = c.ip;
    sample.misc = c.misc;
    sample.callchain = c.chain;
    builder.addSample(builder.addAttribute(1, 0, kCallstackType, {}), sample);
    Parsed parsed;
    parse(parsed, builder.build());
    QVPerfSample decoded;
    ASSERT_TRUE(parsed.ok && parsed.file.decodeSample(parsed.file.records().at(0), decoded)) << c.what;
    std::uint64_t context = 0;
    std::vector<std::uint64_t> frames;
    EXPECT_EQ(QVPerfCallchainFrames(decoded, context, frames), c.supported) << c.what;
    EXPECT_EQ(context, c.context) << c.what;
    if (c.supported) {
      EXPECT_EQ(frames, c.frames) << c.what;
    }
  }
}

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
