#include "Linux/perf/QVPerfDataFile.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace Quorvel {

namespace {

constexpr std::uint64_t kMagicV1 = 0x454c494646524550ull;  // "PERFFILE"
constexpr std::uint64_t kMagicV2 = 0x32454c4946524550ull;  // "PERFILE2"
// The first published perf_event_attr; older perf wrote 0 for it.
constexpr std::uint32_t kAttrSizeVer0 = 64;

constexpr std::uint64_t kFormatTotalTimeEnabled = 1;
constexpr std::uint64_t kFormatTotalTimeRunning = 2;
constexpr std::uint64_t kFormatId = 4;
constexpr std::uint64_t kFormatGroup = 8;
constexpr std::uint64_t kFormatLost = 16;

std::string quote(const std::string& name) { return "\"" + name + "\""; }

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "%" PRIx64, value);
  return text;
}

// Bytes of a READ field for one attribute's read_format.
bool skipReadValues(QVBinaryCursor& body, std::uint64_t format) {
  std::uint64_t perValue = 8 + ((format & kFormatId) ? 8 : 0) + ((format & kFormatLost) ? 8 : 0);
  std::uint64_t times =
      ((format & kFormatTotalTimeEnabled) ? 8 : 0) + ((format & kFormatTotalTimeRunning) ? 8 : 0);
  if (!(format & kFormatGroup)) return body.skip(perValue + times);
  std::uint64_t count = 0;
  if (!body.read(count) || !body.skip(times)) return false;
  if (count > body.remaining() / perValue) return false;
  return body.skip(count * perValue);
}

std::uint64_t sampleIdTrailerSize(std::uint64_t sampleType) {
  const std::uint64_t bits[] = {QV_PERF_SAMPLE_TID,       QV_PERF_SAMPLE_TIME, QV_PERF_SAMPLE_ID,
                                QV_PERF_SAMPLE_STREAM_ID, QV_PERF_SAMPLE_CPU,  QV_PERF_SAMPLE_IDENTIFIER};
  std::uint64_t size = 0;
  for (std::uint64_t bit : bits)
    if (sampleType & bit) size += 8;
  return size;
}

// Text padded with zeros to a multiple of 8 bytes; stops at the first zero.
std::string readPaddedText(QVBinaryCursor& body) {
  const std::uint8_t* start = body.data() + body.offset();
  std::size_t length = 0;
  while (length < body.remaining() && start[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(start), length);
}

}  // namespace

std::uint64_t QVPerfSample::callchainAt(std::uint64_t index) const {
  std::uint64_t value = 0;
  if (index < callchainCount) callchain.readAt(index * 8, value);
  return value;
}

std::uint16_t QVPerfSample::rawTypeId() const {
  std::uint16_t type = 0;
  if (hasRaw) raw.readAt(0, type);
  return type;
}

bool QVPerfDataFile::fail(const std::string& message) {
  error_ = message;
  return false;
}

bool QVPerfDataFile::parse(const void* data, std::size_t size, const std::string& name) {
  *this = QVPerfDataFile();
  file_ = QVBinaryCursor(data, size);
  const std::string quoted = quote(name);
  if (size < kHeaderSize) return fail("perf file " + quoted + " is too short to contain file header");

  std::uint64_t magic = 0, headerSize = 0, attrSize = 0;
  std::uint64_t sections[6] = {};
  file_.read(magic);
  file_.read(headerSize);
  file_.read(attrSize);
  for (std::uint64_t& value : sections) file_.read(value);

  if (magic == kMagicV1) {
    version_ = 1;
    notes_.push_back("v1 perf magic for " + quoted);
  } else if (magic == kMagicV2) {
    version_ = 2;
    notes_.push_back("v2 perf magic for " + quoted);
  } else {
    return fail("bad magic for " + quoted + " - 0x" + hex(magic));
  }

  if (!QVBinaryCursor::rangeFits(sections[0], sections[1], size))
    return fail("perf event attributes section out of range in " + quoted);
  if (!readAttributes(sections[0], sections[1], quoted)) return false;
  if (!QVBinaryCursor::rangeFits(sections[2], sections[3], size))
    return fail("perf event data section out of range in " + quoted);
  headerSize_ = headerSize;
  dataEnd_ = sections[2] + sections[3];
  readRecords(sections[2], sections[3]);
  return true;
}

bool QVPerfDataFile::readAttributes(std::uint64_t offset, std::uint64_t size, const std::string& quoted) {
  QVBinaryCursor section;
  file_.window(offset, size, section);
  for (std::size_t index = 0; !section.atEnd(); ++index) {
    const std::string prefix = "perf event attribute " + std::to_string(index);
    QVPerfEventAttr attr;
    std::uint64_t entryStart = section.offset();
    if (!section.readAt(entryStart + 4, attr.size))
      return fail(prefix + " attr structure out of range in " + quoted);
    std::uint32_t attrLength = attr.size < kAttrSizeVer0 ? kAttrSizeVer0 : attr.size;
    QVBinaryCursor body;
    if (!section.take(attrLength, body)) return fail(prefix + " attr structure out of range in " + quoted);
    body.read(attr.type);
    body.skip(4);
    body.read(attr.config);
    body.read(attr.samplePeriod);
    body.read(attr.sampleType);
    body.read(attr.readFormat);
    body.read(attr.flags);
    std::uint64_t idsOffset = 0, idsSize = 0;
    if (!section.read(idsOffset) || !section.read(idsSize))
      return fail(prefix + " id section structure out of range in " + quoted);
    QVBinaryCursor ids;
    if (!file_.window(idsOffset, idsSize, ids)) return fail(prefix + " id section out of range in " + quoted);
    for (std::uint64_t id = 0; ids.read(id);) {
      attr.ids.push_back(id);
      idToAttr_[id] = attrs_.size();
    }
    attrs_.push_back(std::move(attr));
  }

  // Today's perf adds a dummy event with its own sample_type to every
  // recording; the leading IDENTIFIER word of each record then tells which
  // attribute governs it. Only files without it need one common layout.
  identifierInAll_ = !attrs_.empty();
  for (const QVPerfEventAttr& attr : attrs_) {
    if (!(attr.sampleType & QV_PERF_SAMPLE_IDENTIFIER)) identifierInAll_ = false;
    if (attr.sampleType != attrs_.front().sampleType) uniformSampleType_ = false;
  }
  if (!identifierInAll_ && !uniformSampleType_) return fail("perf event attribute inconsistent sample types");
  return true;
}

void QVPerfDataFile::readRecords(std::uint64_t offset, std::uint64_t size) {
  QVBinaryCursor data;
  file_.window(offset, size, data);
  while (data.remaining() >= 8) {
    QVPerfRecordRef record;
    record.offset = offset + data.offset();
    data.readAt(data.offset(), record.type);
    data.readAt(data.offset() + 4, record.misc);
    data.readAt(data.offset() + 6, record.size);
    if (record.size < 8) {
      warnings_.push_back("aborting parse of perf file data - event record of size " +
                          std::to_string(record.size) + " at offset 0x" + hex(record.offset));
      return;
    }
    std::uint64_t extent = record.size;
    if (record.type == QV_PERF_RECORD_AUXTRACE) {
      // The trace bytes follow the record without being counted in it.
      std::uint64_t auxSize = 0;
      if (data.readAt(data.offset() + 8, auxSize) && auxSize <= UINT64_MAX - extent) extent += auxSize;
    }
    if (!data.skip(extent)) {
      warnings_.push_back("aborting parse of perf file data - truncated event data detected");
      return;
    }
    if (record.type == QV_PERF_RECORD_SAMPLE) {
      ++sampleCount_;
    } else if (!recordTypeName(record.type)) {
      warnings_.push_back("PERF_RECORD_UNKNOWN - type 0x" + hex(record.type));
      continue;
    } else if (record.type == QV_PERF_RECORD_COMPRESSED) {
      warnings_.push_back("compressed perf data is not read - record without -z");
    }
    records_.push_back(record);
  }
}

const QVPerfEventAttr* QVPerfDataFile::attributeForId(std::uint64_t id) const {
  auto found = idToAttr_.find(id);
  return found == idToAttr_.end() ? nullptr : &attrs_[found->second];
}

const QVPerfEventAttr* QVPerfDataFile::attributeForRecord(const QVPerfRecordRef& record, bool sample,
                                                          QVBinaryCursor& body) const {
  if (!recordBody(record, body)) return nullptr;
  if (identifierInAll_) {
    std::uint64_t id = 0;
    bool read = sample ? body.readAt(0, id) : body.readAt(body.size() - 8, id);
    if (!read) return nullptr;
    if (const QVPerfEventAttr* attr = attributeForId(id)) return attr;
    // A file with one attribute and no id section still names it.
    return attrs_.size() == 1 ? &attrs_.front() : nullptr;
  }
  return attrs_.empty() ? nullptr : &attrs_.front();
}

bool QVPerfDataFile::decodeSample(const QVPerfRecordRef& record, QVPerfSample& out) const {
  out = QVPerfSample();
  out.misc = record.misc;
  QVBinaryCursor body;
  out.attr = attributeForRecord(record, true, body);
  if (!out.attr) return false;
  const std::uint64_t type = out.attr->sampleType;
  std::uint64_t identifier = 0;
  if ((type & QV_PERF_SAMPLE_IDENTIFIER) && !body.read(identifier)) return false;
  if ((type & QV_PERF_SAMPLE_IP) && !body.read(out.ip)) return false;
  if ((type & QV_PERF_SAMPLE_TID) && !(body.read(out.pid) && body.read(out.tid))) return false;
  if (type & QV_PERF_SAMPLE_TIME) {
    if (!body.read(out.time)) return false;
    out.hasTime = true;
  }
  if ((type & QV_PERF_SAMPLE_ADDR) && !body.read(out.addr)) return false;
  if ((type & QV_PERF_SAMPLE_ID) && !body.read(out.id)) return false;
  if ((type & QV_PERF_SAMPLE_STREAM_ID) && !body.read(out.streamId)) return false;
  if ((type & QV_PERF_SAMPLE_CPU) && !(body.read(out.cpu) && body.skip(4))) return false;
  if ((type & QV_PERF_SAMPLE_PERIOD) && !body.read(out.period)) return false;
  if ((type & QV_PERF_SAMPLE_READ) && !skipReadValues(body, out.attr->readFormat)) return false;
  if (type & QV_PERF_SAMPLE_CALLCHAIN) {
    if (!body.read(out.callchainCount) || out.callchainCount > body.remaining() / 8) return false;
    body.take(out.callchainCount * 8, out.callchain);
    out.hasCallchain = true;
  }
  if (type & QV_PERF_SAMPLE_RAW) {
    std::uint32_t rawSize = 0;
    if (!body.read(rawSize) || !body.take(rawSize, out.raw)) return false;
    out.hasRaw = true;
  }
  if (identifierInAll_ && !(type & QV_PERF_SAMPLE_ID)) out.id = identifier;
  return true;
}

bool QVPerfDataFile::decodeSampleId(const QVPerfRecordRef& record, QVPerfSampleId& out) const {
  out = QVPerfSampleId();
  // Only the kernel's records carry the trailer; perf's own do not.
  if (record.type == QV_PERF_RECORD_SAMPLE || record.type >= QV_PERF_RECORD_HEADER_ATTR) return false;
  QVBinaryCursor body;
  const QVPerfEventAttr* attr = attributeForRecord(record, false, body);
  if (!attr || !attr->sampleIdAll()) return false;
  const std::uint64_t type = attr->sampleType;
  std::uint64_t trailer = sampleIdTrailerSize(type);
  if (trailer > body.size() || !body.seek(body.size() - trailer)) return false;
  if (type & QV_PERF_SAMPLE_TID) {
    body.read(out.pid);
    body.read(out.tid);
  }
  if (type & QV_PERF_SAMPLE_TIME) out.hasTime = body.read(out.time);
  if (type & QV_PERF_SAMPLE_ID) body.skip(8);
  if (type & QV_PERF_SAMPLE_STREAM_ID) body.skip(8);
  if (type & QV_PERF_SAMPLE_CPU) body.read(out.cpu);
  return true;
}

bool QVPerfDataFile::recordBody(const QVPerfRecordRef& record, QVBinaryCursor& body) const {
  return record.size >= 8 && file_.window(record.offset + 8, record.size - 8u, body);
}

bool QVPerfDataFile::decodeComm(const QVPerfRecordRef& record, QVPerfCommRecord& out) const {
  QVBinaryCursor body;
  if (record.type != QV_PERF_RECORD_COMM || !recordBody(record, body)) return false;
  if (!body.read(out.pid) || !body.read(out.tid)) return false;
  out.comm = readPaddedText(body);
  return true;
}

bool QVPerfDataFile::decodeTask(const QVPerfRecordRef& record, QVPerfTaskRecord& out) const {
  QVBinaryCursor body;
  if ((record.type != QV_PERF_RECORD_EXIT && record.type != QV_PERF_RECORD_FORK) || !recordBody(record, body))
    return false;
  return body.read(out.pid) && body.read(out.ppid) && body.read(out.tid) && body.read(out.ptid) &&
         body.read(out.time);
}

bool QVPerfDataFile::decodeMmap(const QVPerfRecordRef& record, QVPerfMmapRecord& out) const {
  QVBinaryCursor body;
  if ((record.type != QV_PERF_RECORD_MMAP && record.type != QV_PERF_RECORD_MMAP2) ||
      !recordBody(record, body))
    return false;
  if (!(body.read(out.pid) && body.read(out.tid) && body.read(out.start) && body.read(out.length) &&
        body.read(out.pageOffset)))
    return false;
  constexpr std::uint16_t kMiscMmapData = 0x2000;
  constexpr std::uint32_t kProtExec = 4;
  out.executable = (record.misc & kMiscMmapData) == 0;
  // MMAP2 adds device, inode (or build id), protection and flags before
  // the name.
  if (record.type == QV_PERF_RECORD_MMAP2) {
    std::uint32_t prot = 0;
    if (!body.skip(24) || !body.read(prot) || !body.skip(4)) return false;
    out.executable = (prot & kProtExec) != 0;
  }
  out.fileName = readPaddedText(body);
  return true;
}

bool QVPerfDataFile::featureSection(unsigned feature, QVBinaryCursor& out) const {
  constexpr std::uint64_t kBitmapWords = 4;
  if (feature >= kBitmapWords * 64 || headerSize_ < kHeaderSize + kBitmapWords * 8) return false;
  std::uint64_t bitmap[kBitmapWords] = {};
  for (std::uint64_t i = 0; i < kBitmapWords; ++i) {
    if (!file_.readAt(kHeaderSize + i * 8, bitmap[i])) return false;
  }
  if (!((bitmap[feature / 64] >> (feature % 64)) & 1)) return false;
  // The table holds one (offset, size) per feature present, in bit order.
  std::uint64_t index = 0;
  for (unsigned bit = 0; bit < feature; ++bit) index += (bitmap[bit / 64] >> (bit % 64)) & 1;
  std::uint64_t offset = 0, length = 0;
  if (!file_.readAt(dataEnd_ + index * 16, offset) || !file_.readAt(dataEnd_ + index * 16 + 8, length)) {
    return false;
  }
  return file_.window(offset, length, out);
}

namespace {

bool readCString(QVBinaryCursor& in, std::string& out) {
  const std::uint8_t* start = in.data() + in.offset();
  std::size_t length = 0;
  while (length < in.remaining() && start[length] != 0) ++length;
  if (length == in.remaining()) return false;
  out.assign(reinterpret_cast<const char*>(start), length);
  return in.skip(length + 1);
}

// A block of the tracing data: its size, then its bytes.
template <class Size>
bool skipBlock(QVBinaryCursor& in) {
  Size size = 0;
  return in.read(size) && in.skip(size);
}

}  // namespace

bool QVPerfDataFile::readTracingDataFormats(QVBinaryCursor in,
                                            std::vector<std::pair<std::string, std::string>>& formats) {
  static const char kMagic[] = {0x17, 0x08, 0x44, 't', 'r', 'a', 'c', 'i', 'n', 'g'};
  char magic[sizeof kMagic] = {};
  for (char& byte : magic) {
    if (!in.read(byte)) return false;
  }
  if (std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
  std::string version, name;
  std::uint8_t bigEndian = 0, longSize = 0;
  std::uint32_t pageSize = 0;
  if (!readCString(in, version) || !in.read(bigEndian) || !in.read(longSize) || !in.read(pageSize)) return false;
  // Formats give offsets into the raw data of this machine's byte order;
  // a big-endian recording is not one this reader decodes.
  if (bigEndian) return false;
  for (const char* expected : {"header_page", "header_event"}) {
    if (!readCString(in, name) || name != expected || !skipBlock<std::uint64_t>(in)) return false;
  }
  std::uint32_t count = 0;
  if (!in.read(count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!skipBlock<std::uint64_t>(in)) return false;
  }
  std::uint32_t systems = 0;
  if (!in.read(systems)) return false;
  for (std::uint32_t s = 0; s < systems; ++s) {
    std::string system;
    if (!readCString(in, system) || !in.read(count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint64_t size = 0;
      QVBinaryCursor text;
      if (!in.read(size) || !in.take(size, text)) return false;
      formats.emplace_back(system, std::string(reinterpret_cast<const char*>(text.data()), text.size()));
    }
  }
  return true;
}

const char* QVPerfDataFile::recordTypeName(std::uint32_t type) {
  static const char* const kernel[] = {nullptr,        "MMAP",
                                       "LOST",         "COMM",
                                       "EXIT",         "THROTTLE",
                                       "UNTHROTTLE",   "FORK",
                                       "READ",         "SAMPLE",
                                       "MMAP2",        "AUX",
                                       "ITRACE_START", "LOST_SAMPLES",
                                       "SWITCH",       "SWITCH_CPU_WIDE",
                                       "NAMESPACES",   "KSYMBOL",
                                       "BPF_EVENT",    "CGROUP",
                                       "TEXT_POKE",    "AUX_OUTPUT_HW_ID"};
  static const char* const tool[] = {"HEADER_ATTR",
                                     "HEADER_EVENT_TYPE",
                                     "HEADER_TRACING_DATA",
                                     "HEADER_BUILD_ID",
                                     "FINISHED_ROUND",
                                     "ID_INDEX",
                                     "AUXTRACE_INFO",
                                     "AUXTRACE",
                                     "AUXTRACE_ERROR",
                                     "THREAD_MAP",
                                     "CPU_MAP",
                                     "STAT_CONFIG",
                                     "STAT",
                                     "STAT_ROUND",
                                     "EVENT_UPDATE",
                                     "TIME_CONV",
                                     "HEADER_FEATURE",
                                     "COMPRESSED",
                                     "FINISHED_INIT"};
  if (type < sizeof(kernel) / sizeof(kernel[0])) return kernel[type];
  if (type >= 64 && type - 64 < sizeof(tool) / sizeof(tool[0])) return tool[type - 64];
  return nullptr;
}

}  // namespace Quorvel
