#pragma once

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <vector>

namespace Quorvel {

// The byte source of an unarchiver. Looks at the first bytes of the stream
// and, when they are the gzip magic, inflates on the fly (concatenated gzip
// members are read one after another), so callers see the document either
// way without ever holding more than one input window in memory.
//
// read() returns the number of bytes stored (0 at the end of the document)
// and raises QVException when the stream fails, the compressed data are
// corrupt, or the compressed stream ends before its trailer.
class QVArchiveInput {
 public:
  explicit QVArchiveInput(std::istream& stream);
  ~QVArchiveInput();
  QVArchiveInput(const QVArchiveInput&) = delete;
  QVArchiveInput& operator=(const QVArchiveInput&) = delete;

  size_t read(char* out, size_t capacity);
  bool compressed() const { return inflater_ != nullptr; }

 private:
  size_t readRaw(char* out, size_t capacity);
  size_t readInflated(char* out, size_t capacity);
  bool refill();

  struct Inflater;
  std::istream& stream_;
  // Bytes taken from the stream to recognise its format; handed out first.
  std::vector<char> pending_;
  size_t pendingOffset_ = 0;
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace Quorvel
