#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binary/QVBinaryCursor.h"

namespace Quorvel {

// Record types of the perf.data format (kernel ABI below 64, the perf
// tool's own from 64 on).
enum QVPerfRecordType : std::uint32_t {
  QV_PERF_RECORD_MMAP = 1,
  QV_PERF_RECORD_LOST = 2,
  QV_PERF_RECORD_COMM = 3,
  QV_PERF_RECORD_EXIT = 4,
  QV_PERF_RECORD_THROTTLE = 5,
  QV_PERF_RECORD_UNTHROTTLE = 6,
  QV_PERF_RECORD_FORK = 7,
  QV_PERF_RECORD_READ = 8,
  QV_PERF_RECORD_SAMPLE = 9,
  QV_PERF_RECORD_MMAP2 = 10,
  QV_PERF_RECORD_HEADER_ATTR = 64,
  QV_PERF_RECORD_FINISHED_ROUND = 68,
  QV_PERF_RECORD_AUXTRACE = 71,
  QV_PERF_RECORD_COMPRESSED = 81,
};

// sample_type bits that this reader decodes.
enum QVPerfSampleBits : std::uint64_t {
  QV_PERF_SAMPLE_IP = 1ull << 0,
  QV_PERF_SAMPLE_TID = 1ull << 1,
  QV_PERF_SAMPLE_TIME = 1ull << 2,
  QV_PERF_SAMPLE_ADDR = 1ull << 3,
  QV_PERF_SAMPLE_READ = 1ull << 4,
  QV_PERF_SAMPLE_CALLCHAIN = 1ull << 5,
  QV_PERF_SAMPLE_ID = 1ull << 6,
  QV_PERF_SAMPLE_CPU = 1ull << 7,
  QV_PERF_SAMPLE_PERIOD = 1ull << 8,
  QV_PERF_SAMPLE_STREAM_ID = 1ull << 9,
  QV_PERF_SAMPLE_RAW = 1ull << 10,
  QV_PERF_SAMPLE_IDENTIFIER = 1ull << 16,
};

// Call-chain context markers.
constexpr std::uint64_t QV_PERF_CONTEXT_MAX = 0xFFFFFFFFFFFFF000ull;
constexpr std::uint64_t QV_PERF_CONTEXT_KERNEL = 0xFFFFFFFFFFFFFF80ull;
constexpr std::uint64_t QV_PERF_CONTEXT_USER = 0xFFFFFFFFFFFFFE00ull;

// One event attribute of the file with the sample ids that name it.
struct QVPerfEventAttr {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  std::uint64_t config = 0;
  std::uint64_t samplePeriod = 0;
  std::uint64_t sampleType = 0;
  std::uint64_t readFormat = 0;
  std::uint64_t flags = 0;
  std::vector<std::uint64_t> ids;

  bool sampleIdAll() const { return (flags >> 18) & 1; }
};

// Where one record lies in the file; its body follows the 8-byte header.
struct QVPerfRecordRef {
  std::uint64_t offset = 0;
  std::uint32_t type = 0;
  std::uint16_t misc = 0;
  std::uint16_t size = 0;
};

// A decoded PERF_RECORD_SAMPLE. Absent numbers keep the values below; the
// call chain and raw data point into the file's buffer.
struct QVPerfSample {
  const QVPerfEventAttr* attr = nullptr;
  // The record header's misc field: its low bits tell the mode the sampled
  // code ran in (1 kernel, 2 user).
  std::uint16_t misc = 0;
  std::uint64_t ip = ~0ull;
  std::int32_t pid = -1;
  std::int32_t tid = -1;
  std::uint64_t time = 0;
  std::uint64_t addr = 0;
  std::uint64_t id = 0;
  std::uint64_t streamId = 0;
  std::int32_t cpu = -1;
  std::uint64_t period = 0;
  bool hasTime = false;
  bool hasCallchain = false;
  bool hasRaw = false;
  QVBinaryCursor callchain;  // callchainCount u64 entries
  std::uint64_t callchainCount = 0;
  QVBinaryCursor raw;

  std::uint64_t callchainAt(std::uint64_t index) const;
  // The tracepoint's common type id (first u16 of the raw data); 0 for the
  // empty raw data of a non-tracepoint event or when there is none.
  std::uint16_t rawTypeId() const;
};

// The sample_id trailer of a non-sample record (time and task when the
// attribute asks for them).
struct QVPerfSampleId {
  std::int32_t pid = -1;
  std::int32_t tid = -1;
  std::uint64_t time = 0;
  bool hasTime = false;
  std::int32_t cpu = -1;
};

struct QVPerfCommRecord {
  std::int32_t pid = -1;
  std::int32_t tid = -1;
  std::string comm;
};

struct QVPerfTaskRecord {  // EXIT and FORK
  std::int32_t pid = -1;
  std::int32_t ppid = -1;
  std::int32_t tid = -1;
  std::int32_t ptid = -1;
  std::uint64_t time = 0;
};

struct QVPerfMmapRecord {  // MMAP and MMAP2
  std::int32_t pid = -1;
  std::int32_t tid = -1;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint64_t pageOffset = 0;
  // Data mappings never hold sampled code: MMAP marks them in misc, MMAP2
  // carries the protection.
  bool executable = true;
  std::string fileName;
};

// Reader of the perf.data container over a buffer that the caller maps and
// keeps alive. It reads no file and keeps no state outside itself: every
// offset and size taken from the buffer is checked before use. `parse`
// fails (with `error()`) when the header or the attributes cannot be
// trusted; a damaged record stream keeps the records before the damage and
// adds a warning.
class QVPerfDataFile {
 public:
  static constexpr std::size_t kHeaderSize = 72;

  bool parse(const void* data, std::size_t size, const std::string& name);

  const std::string& error() const { return error_; }
  const std::vector<std::string>& warnings() const { return warnings_; }
  const std::vector<std::string>& notes() const { return notes_; }
  int version() const { return version_; }
  const std::vector<QVPerfEventAttr>& attributes() const { return attrs_; }
  const std::vector<QVPerfRecordRef>& records() const { return records_; }
  std::uint64_t sampleCount() const { return sampleCount_; }

  // The attribute whose id section names `id`, or null.
  const QVPerfEventAttr* attributeForId(std::uint64_t id) const;

  // False when the record's fields run past its end or it names an
  // attribute that the file does not have.
  bool decodeSample(const QVPerfRecordRef& record, QVPerfSample& out) const;
  bool decodeSampleId(const QVPerfRecordRef& record, QVPerfSampleId& out) const;
  bool decodeComm(const QVPerfRecordRef& record, QVPerfCommRecord& out) const;
  bool decodeTask(const QVPerfRecordRef& record, QVPerfTaskRecord& out) const;
  bool decodeMmap(const QVPerfRecordRef& record, QVPerfMmapRecord& out) const;

  // A section of the header's feature table (feature bits after the
  // first 72 bytes, sections after the data); false when the file does not
  // have the feature or its section does not fit.
  static constexpr unsigned kFeatureTracingData = 1;
  bool featureSection(unsigned feature, QVBinaryCursor& out) const;
  // The tracepoint formats in perf's tracing data, as (system/name, text)
  // pairs; false when the data is not what perf writes.
  static bool readTracingDataFormats(QVBinaryCursor data,
                                     std::vector<std::pair<std::string, std::string>>& formats);

  // The kernel's or perf's name of a record type, or null when unknown.
  static const char* recordTypeName(std::uint32_t type);

 private:
  bool fail(const std::string& message);
  bool recordBody(const QVPerfRecordRef& record, QVBinaryCursor& body) const;
  bool readAttributes(std::uint64_t offset, std::uint64_t size, const std::string& quoted);
  void readRecords(std::uint64_t offset, std::uint64_t size);
  const QVPerfEventAttr* attributeForRecord(const QVPerfRecordRef& record, bool sample,
                                            QVBinaryCursor& body) const;

  QVBinaryCursor file_;
  int version_ = 0;
  std::uint64_t headerSize_ = 0;
  std::uint64_t dataEnd_ = 0;
  std::string error_;
  std::vector<std::string> warnings_;
  std::vector<std::string> notes_;
  std::vector<QVPerfEventAttr> attrs_;
  std::unordered_map<std::uint64_t, std::size_t> idToAttr_;
  bool identifierInAll_ = false;
  bool uniformSampleType_ = true;
  std::vector<QVPerfRecordRef> records_;
  std::uint64_t sampleCount_ = 0;
};

}  // namespace Quorvel
