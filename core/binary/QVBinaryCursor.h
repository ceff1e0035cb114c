#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Quorvel {

// A read position over a borrowed byte buffer. Every read is checked against
// the end of the buffer and every offset sum is checked for overflow, so
// parsers of untrusted binary files never read outside what they were given.
// A failed read leaves the position unchanged and returns false. Multi-byte
// values are read in the host's byte order (the files read here are written
// by the same machine's tools) through memcpy, so no alignment is assumed.
class QVBinaryCursor {
 public:
  QVBinaryCursor() = default;
  QVBinaryCursor(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

  // True when [offset, offset + length) lies within a buffer of `size`
  // bytes; false also when offset + length does not fit in 64 bits.
  static bool rangeFits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
  }

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return size_ - offset_; }
  bool atEnd() const { return offset_ == size_; }

  bool seek(std::uint64_t offset) {
    if (offset > size_) return false;
    offset_ = static_cast<std::size_t>(offset);
    return true;
  }

  bool skip(std::uint64_t length) {
    if (length > remaining()) return false;
    offset_ += static_cast<std::size_t>(length);
    return true;
  }

  template <typename T>
  bool read(T& out) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    if (sizeof(T) > remaining()) return false;
    std::memcpy(&out, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return true;
  }

  // Reads a value at an absolute offset without moving the position.
  template <typename T>
  bool readAt(std::uint64_t offset, T& out) const {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    if (!rangeFits(offset, sizeof(T), size_)) return false;
    std::memcpy(&out, data_ + offset, sizeof(T));
    return true;
  }

  // Points `out` at the next `length` bytes and moves past them.
  bool readBytes(std::uint64_t length, const std::uint8_t*& out) {
    if (length > remaining()) return false;
    out = data_ + offset_;
    offset_ += static_cast<std::size_t>(length);
    return true;
  }

  // A cursor over [offset, offset + length) of this buffer, positioned at
  // its start; false when the window does not fit.
  bool window(std::uint64_t offset, std::uint64_t length, QVBinaryCursor& out) const {
    if (!rangeFits(offset, length, size_)) return false;
    out = QVBinaryCursor(data_ + offset, static_cast<std::size_t>(length));
    return true;
  }

  // Consumes the next `length` bytes as a cursor of their own.
  bool take(std::uint64_t length, QVBinaryCursor& out) {
    if (!window(offset_, length, out)) return false;
    offset_ += static_cast<std::size_t>(length);
    return true;
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace Quorvel
