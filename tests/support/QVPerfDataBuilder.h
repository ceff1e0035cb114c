#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace Quorvel {
namespace test {

// Little-endian byte appender for building binary inputs in tests.
class QVByteWriter {
 public:
  template <typename T>
  QVByteWriter& put(T value) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), bytes, bytes + sizeof(T));
    return *this;
  }
  QVByteWriter& putBytes(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + size);
    return *this;
  }
  // Text with a terminating zero, padded with zeros to a multiple of 8.
  QVByteWriter& putPaddedText(const std::string& text) {
    putBytes(text.data(), text.size());
    do bytes_.push_back(0);
    while (bytes_.size() % 8);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// One sample as the builder encodes it; which fields are written follows
// the sample_type of the attribute it is added for.
struct QVPerfTestSample {
  std::uint16_t misc = 0;  // the record header's, with the cpumode bits
  std::uint64_t identifier = 0;
  std::uint64_t ip = 0;
  std::int32_t pid = 0;
  std::int32_t tid = 0;
  std::uint64_t time = 0;
  std::uint64_t id = 0;
  std::uint32_t cpu = 0;
  std::uint64_t period = 1;
  std::vector<std::uint64_t> callchain;
  std::vector<std::uint8_t> raw;
};

// Builds a perf.data file in memory: header, attribute section with id
// sections, data section. Section fields can be overridden afterwards to
// build damaged files.
class QVPerfDataBuilder {
 public:
  struct Section {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
  };

  std::string magic = "PERFILE2";
  bool overrideAttrs = false;
  Section attrsOverride;
  bool overrideData = false;
  Section dataOverride;

  // Returns the attribute's index.
  std::size_t addAttribute(std::uint32_t type, std::uint64_t config, std::uint64_t sampleType,
                           std::vector<std::uint64_t> ids, std::uint64_t flags = 0);
  QVPerfDataBuilder& addRecord(std::uint32_t type, const std::vector<std::uint8_t>& body,
                               std::uint16_t misc = 0);
  QVPerfDataBuilder& addSample(std::size_t attribute, const QVPerfTestSample& sample);
  QVPerfDataBuilder& addComm(std::int32_t pid, std::int32_t tid, const std::string& comm);
  // Appends bytes to the data section as they are (damaged records).
  QVPerfDataBuilder& addRawData(const std::vector<std::uint8_t>& bytes);

  std::vector<std::uint8_t> build() const;

 private:
  struct Attribute {
    std::uint32_t type;
    std::uint64_t config;
    std::uint64_t sampleType;
    std::uint64_t flags;
    std::vector<std::uint64_t> ids;
  };
  std::vector<Attribute> attributes_;
  QVByteWriter data_;
};

}  // namespace test
}  // namespace Quorvel
