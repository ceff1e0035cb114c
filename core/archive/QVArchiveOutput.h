#pragma once

#include <cstddef>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <string_view>
#include <vector>

namespace Quorvel {

// The byte sink of an archiver: a large buffer drained into an ostream,
// optionally through a gzip compressor. Appending is inline because the
// archiver calls it several times per element; draining happens only when
// the buffer fills, on flush() and on finish().
//
// Any failure of the stream or of the compressor raises QVException; after
// finish() the sink accepts nothing more. Destroying an unfinished sink
// releases the compressor without writing anything further.
class QVArchiveOutput {
 public:
  QVArchiveOutput(std::ostream& stream, bool compress, size_t bufferSize = kDefaultBufferSize);
  ~QVArchiveOutput();
  QVArchiveOutput(const QVArchiveOutput&) = delete;
  QVArchiveOutput& operator=(const QVArchiveOutput&) = delete;

  static constexpr size_t kDefaultBufferSize = 1 << 18;

  void put(char c) {
    if (used_ == buffer_.size()) {
      drain();
    }
    buffer_[used_++] = c;
  }
  void put(const char* bytes, size_t length) {
    if (length <= buffer_.size() - used_) {
      std::memcpy(buffer_.data() + used_, bytes, length);
      used_ += length;
    } else {
      putSlow(bytes, length);
    }
  }
  void put(std::string_view text) { put(text.data(), text.size()); }

  // Writes everything buffered to the stream (a sync flush when compressing,
  // so the bytes so far decompress on their own) and flushes the stream.
  void flush();
  // Ends the compressed stream if any, then flushes. Idempotent.
  void finish();

 private:
  void putSlow(const char* bytes, size_t length);
  void drain();
  void writeCompressed(const char* bytes, size_t length, int mode);
  void writeStream(const char* bytes, size_t length);

  struct Deflater;
  std::ostream& stream_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  std::unique_ptr<Deflater> deflater_;
  bool finished_ = false;
};

}  // namespace Quorvel
