// Feeds arbitrary bytes to the perf.data reader and decodes every record it
// indexes, the way the recorder and import do. Its seeds
// (corpus/QVPerfDataFileFuzz) are the small files that perf recorded for the
// golden tests.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Linux/perf/QVPerfCallchain.h"
#include "Linux/perf/QVPerfDataFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Quorvel;
  QVPerfDataFile file;
  if (!file.parse(data, size, "fuzz")) return 0;
  QVPerfSample sample;
  QVPerfSampleId sampleId;
  QVPerfCommRecord comm;
  QVPerfTaskRecord task;
  QVPerfMmapRecord mmap;
  std::vector<std::uint64_t> frames;
  for (const QVPerfRecordRef& record : file.records()) {
    if (file.decodeSample(record, sample)) {
      std::uint64_t context = 0;
      QVPerfCallchainFrames(sample, context, frames);
      sample.rawTypeId();
    }
    file.decodeSampleId(record, sampleId);
    file.decodeComm(record, comm);
    file.decodeTask(record, task);
    file.decodeMmap(record, mmap);
  }
  QVBinaryCursor tracingData;
  if (file.featureSection(QVPerfDataFile::kFeatureTracingData, tracingData)) {
    std::vector<std::pair<std::string, std::string>> formats;
    QVPerfDataFile::readTracingDataFormats(tracingData, formats);
  }
  return 0;
}
