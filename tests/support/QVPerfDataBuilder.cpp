#include "support/QVPerfDataBuilder.h"

namespace Quorvel {
namespace test {

namespace {
// Linux ABI: perf_event_attr of PERF_ATTR_SIZE_VER5 and the sample bits.
constexpr std::uint32_t kAttrSize = 112;
constexpr std::uint64_t kIdentifier = 1ull << 16, kIp = 1, kTid = 2, kTime = 4, kId = 1ull << 6,
                        kCpu = 1ull << 7, kPeriod = 1ull << 8, kCallchain = 1ull << 5, kRaw = 1ull << 10;
constexpr std::size_t kHeaderSize = 104;  // 72 used bytes and the feature bitmap's first 32
}  // namespace

std::size_t QVPerfDataBuilder::addAttribute(std::uint32_t type, std::uint64_t config,
                                            std::uint64_t sampleType, std::vector<std::uint64_t> ids,
                                            std::uint64_t flags) {
  attributes_.push_back({type, config, sampleType, flags, std::move(ids)});
  return attributes_.size() - 1;
}

QVPerfDataBuilder& QVPerfDataBuilder::addRecord(std::uint32_t type, const std::vector<std::uint8_t>& body,
                                                std::uint16_t misc) {
  data_.put<std::uint32_t>(type).put<std::uint16_t>(misc).put<std::uint16_t>(
      static_cast<std::uint16_t>(8 + body.size()));
  data_.putBytes(body.data(), body.size());
  return *this;
}

QVPerfDataBuilder& QVPerfDataBuilder::addSample(std::size_t attribute, const QVPerfTestSample& sample) {
  const std::uint64_t type = attributes_.at(attribute).sampleType;
  QVByteWriter body;
  if (type & kIdentifier) body.put(sample.identifier);
  if (type & kIp) body.put(sample.ip);
  if (type & kTid) body.put(sample.pid).put(sample.tid);
  if (type & kTime) body.put(sample.time);
  if (type & kId) body.put(sample.id);
  if (type & kCpu) body.put(sample.cpu).put<std::uint32_t>(0);
  if (type & kPeriod) body.put(sample.period);
  if (type & kCallchain) {
    body.put<std::uint64_t>(sample.callchain.size());
    for (std::uint64_t entry : sample.callchain) body.put(entry);
  }
  if (type & kRaw) {
    body.put<std::uint32_t>(static_cast<std::uint32_t>(sample.raw.size()));
    body.putBytes(sample.raw.data(), sample.raw.size());
    // The kernel pads the raw block so that the record stays 8-aligned.
    while (body.size() % 8) body.put<std::uint8_t>(0);
  }
  return addRecord(9, body.bytes(), sample.misc);
}

QVPerfDataBuilder& QVPerfDataBuilder::addComm(std::int32_t pid, std::int32_t tid, const std::string& comm) {
  QVByteWriter body;
  body.put(pid).put(tid).putPaddedText(comm);
  return addRecord(3, body.bytes());
}

QVPerfDataBuilder& QVPerfDataBuilder::addRawData(const std::vector<std::uint8_t>& bytes) {
  data_.putBytes(bytes.data(), bytes.size());
  return *this;
}

std::vector<std::uint8_t> QVPerfDataBuilder::build() const {
  // Layout: header, id sections, attribute section, data section.
  QVByteWriter ids;
  std::vector<std::uint64_t> idOffsets;
  for (const Attribute& attribute : attributes_) {
    idOffsets.push_back(kHeaderSize + ids.size());
    for (std::uint64_t id : attribute.ids) ids.put(id);
  }
  QVByteWriter attrs;
  for (std::size_t i = 0; i < attributes_.size(); ++i) {
    const Attribute& attribute = attributes_[i];
    QVByteWriter attr;
    attr.put(attribute.type).put(kAttrSize).put(attribute.config).put<std::uint64_t>(1);
    attr.put(attribute.sampleType).put<std::uint64_t>(0).put(attribute.flags);
    while (attr.size() < kAttrSize) attr.put<std::uint8_t>(0);
    attrs.putBytes(attr.bytes().data(), attr.size());
    attrs.put(idOffsets[i]).put<std::uint64_t>(attribute.ids.size() * 8);
  }
  Section attrSection{kHeaderSize + ids.size(), attrs.size()};
  Section dataSection{attrSection.offset + attrSection.size, data_.size()};
  if (overrideAttrs) attrSection = attrsOverride;
  if (overrideData) dataSection = dataOverride;

  QVByteWriter file;
  std::uint64_t magicWord = 0;
  std::memcpy(&magicWord, magic.data(), magic.size() < 8 ? magic.size() : 8);
  file.put(magicWord).put<std::uint64_t>(kHeaderSize).put<std::uint64_t>(kAttrSize + 16);
  file.put(attrSection.offset).put(attrSection.size).put(dataSection.offset).put(dataSection.size);
  file.put<std::uint64_t>(0).put<std::uint64_t>(0);
  while (file.size() < kHeaderSize) file.put<std::uint8_t>(0);
  file.putBytes(ids.bytes().data(), ids.size());
  file.putBytes(attrs.bytes().data(), attrs.size());
  file.putBytes(data_.bytes().data(), data_.size());
  return file.bytes();
}

}  // namespace test
}  // namespace Quorvel
