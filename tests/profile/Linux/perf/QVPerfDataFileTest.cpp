#include <gtest/gtest.h>

#include "Linux/perf/QVPerfDataFile.h"
#include "support/QVPerfDataBuilder.h"

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

TEST(QVPerfDataFileTest, HeaderAndSectionFaultsFailWithTheirMessage) {
  struct Case {
    const char* what;
    std::function<std::vector<std::uint8_t>()> make;
    const char* error;
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
      {"attrs past the end",
       [] {
         QVPerfDataBuilder builder = twoSampleFile();
         builder.overrideAttrs = true;
         builder.attrsOverride = {104, 1u << 20};
         return builder.build();
       },
       "perf event attributes section out of range in \"f.data\""},
      {"attrs offset wrapping around 64 bits",
       [] {
         QVPerfDataBuilder builder = twoSampleFile();
         builder.overrideAttrs = true;
         builder.attrsOverride = {~0ull - 7, 16};
         return builder.build();
       },
       "perf event attributes section out of range in \"f.data\""},
      {"attr entry cut short",
       [] {
         QVPerfDataBuilder builder = twoSampleFile();
         builder.overrideAttrs = true;
         builder.attrsOverride = {112, 100};  // id section (8 bytes) + 100 of a 128-byte entry
         return builder.build();
       },
       "perf event attribute 0 attr structure out of range in \"f.data\""},
      {"id section structure cut short",
       [] {
         QVPerfDataBuilder builder = twoSampleFile();
         builder.overrideAttrs = true;
         builder.attrsOverride = {112, 120};
         return builder.build();
       },
       "perf event attribute 0 id section structure out of range in \"f.data\""},
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
}

TEST(QVPerfDataFileTest, IdSectionOutsideTheFileFails) {
  // The builder puts the only id section at offset 104; point it past the
  // end by rewriting the attribute entry's id offset (at 104 + 8 + 112).
  QVPerfDataBuilder builder = twoSampleFile();
  std::vector<std::uint8_t> bytes = builder.build();
  const std::uint64_t far = 1u << 30;
  std::memcpy(bytes.data() + 104 + 8 + 112, &far, 8);
  Parsed parsed;
  parse(parsed, bytes);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.file.error(), "perf event attribute 0 id section out of range in \"f.data\"");
}

TEST(QVPerfDataFileTest, MinimalHeaderReadsAsEmptyFile) {
  QVPerfDataBuilder builder;
  std::vector<std::uint8_t> bytes = builder.build();
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

TEST(QVPerfDataFileTest, SamplesDecodeInAbiOrder) {
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
  EXPECT_EQ(sample.ip, 0x401000u + 20);
  EXPECT_EQ(sample.pid, 100);
  EXPECT_EQ(sample.tid, 101);
  EXPECT_EQ(sample.time, 20u);
  EXPECT_EQ(sample.cpu, 1);
  ASSERT_EQ(sample.callchainCount, 3u);
  EXPECT_EQ(sample.callchainAt(0), QV_PERF_CONTEXT_USER);
  EXPECT_EQ(sample.callchainAt(2), 0x402000u);
  EXPECT_EQ(sample.callchainAt(3), 0u);  // past the chain
  EXPECT_FALSE(sample.hasRaw);
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

}  // namespace
