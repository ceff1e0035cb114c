#include "Linux/driver/QVDriverEventWriter.h"

#include <cstring>

#include "Linux/driver/QVDriverEventScanner.h"

namespace Quorvel {

void QVDriverEventWriter::word(uint64_t value) {
  size_t at = bytes_.size();
  bytes_.resize(at + wordSize());
  if (is64_) {
    std::memcpy(&bytes_[at], &value, 8);
  } else {
    uint32_t narrow = uint32_t(value);
    std::memcpy(&bytes_[at], &narrow, 4);
  }
}

void QVDriverEventWriter::control(uint64_t code) {
  word(QVDriverEscapeMarker(is64_));
  word(code);
}

void QVDriverEventWriter::control(uint64_t code, uint64_t payload) {
  control(code);
  word(payload);
}

void QVDriverEventWriter::control(uint64_t code, uint64_t payload1, uint64_t payload2) {
  control(code);
  word(payload1);
  word(payload2);
}

void QVDriverEventWriter::timestamp(uint64_t code, uint64_t value) {
  control(code);
  if (is64_) {
    word(value);
  } else {
    word(value >> 32);
    word(value & 0xffffffffu);
  }
}

}  // namespace Quorvel
