#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Linux/perf/QVPerfDataFile.h"

using namespace Quorvel;

namespace {

// perf.data files recorded on this machine with perf 6.1 on kernel 6.18,
// each beside the samples that `perf script -F pid,tid,time,ip -G --ns`
// printed for it (first, second and last column kept):
//   tiny-cs     perf record -e cpu-clock -c 1000000 -g -- dd ...
//   tiny-sched  perf record -R -c 1 -e sched:sched_switch -- sleep 0.01
//   tiny-sys    perf record -e raw_syscalls:sys_enter -e raw_syscalls:sys_exit -- /bin/true
const std::string kGolden = QV_TEST_DATA_DIR "/profile/Linux/perf/golden/";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(QVPerfDataGoldenTest, SamplesMatchWhatPerfScriptPrints) {
  for (const char* name : {"tiny-cs", "tiny-sched", "tiny-sys"}) {
    const std::string bytes = readFile(kGolden + name + ".data");
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
    EXPECT_EQ(printed.str(), readFile(kGolden + name + ".samples.txt")) << name;
  }
}

}  // namespace
