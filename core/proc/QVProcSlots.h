#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Quorvel {

// A fixed record of 8-byte slots, the shape in which the /proc readers hand
// their values to the metric sources, which address them by position. A slot
// holds either an unsigned integer or a double (stored bit for bit); the
// reader's documentation says which. Positions outside the record read 0 and
// are not written.
template <std::size_t N>
struct QVProcSlots {
  static constexpr std::size_t Count = N;
  std::array<uint64_t, N> slots{};

  uint64_t integer(std::size_t position) const { return position < N ? slots[position] : 0; }
  double real(std::size_t position) const {
    double value = 0;
    if (position < N) {
      std::memcpy(&value, &slots[position], sizeof(value));
    }
    return value;
  }
  void setInteger(std::size_t position, uint64_t value) {
    if (position < N) {
      slots[position] = value;
    }
  }
  void setReal(std::size_t position, double value) {
    if (position < N) {
      std::memcpy(&slots[position], &value, sizeof(value));
    }
  }
};

}  // namespace Quorvel
