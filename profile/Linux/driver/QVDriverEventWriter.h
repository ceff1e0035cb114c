#pragma once

#include <cstdint>
#include <vector>

namespace Quorvel {

/// Builds event-stream words in the driver's format: what the driver side
/// (and every scripted stream) writes, the inverse of QVDriverEventScanner.
class QVDriverEventWriter {
 public:
  explicit QVDriverEventWriter(bool is64) : is64_(is64) {}

  void entry(uint64_t pc, uint64_t event) {
    word(pc);
    word(event);
  }
  void control(uint64_t code);
  void control(uint64_t code, uint64_t payload);
  void control(uint64_t code, uint64_t payload1, uint64_t payload2);
  /// A timestamp record: one word in 64-bit streams, high half first in 32-bit ones.
  void timestamp(uint64_t code, uint64_t value);
  void word(uint64_t value);

  bool is64() const { return is64_; }
  uint64_t wordSize() const { return is64_ ? 8 : 4; }
  uint64_t recordCount() const { return bytes_.size() / wordSize(); }
  const std::vector<unsigned char>& bytes() const { return bytes_; }
  void clear() { bytes_.clear(); }

 private:
  bool is64_;
  std::vector<unsigned char> bytes_;
};

}  // namespace Quorvel
