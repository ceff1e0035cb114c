#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quorvel {

// Watches the bytes of an XML document before the parser sees them and
// refuses two shapes that the parser handles badly: a start tag with a flood
// of attributes (libxml2 checks attribute names pairwise, so its cost grows
// with the square of their number before any caller sees the element) and a
// document padded with material that carries no data (comments, processing
// instructions, whitespace between elements), which would otherwise be read
// without limit.
//
// Comments and processing instructions carry nothing for a reader of data,
// yet libxml2's reader keeps a node for each (16 MB of "<!--x-->" grew the
// reader by 340 MB): the guard drops them from the stream, except the XML
// declaration at the start. The scanner holds back at most three bytes (a
// "<!-" whose meaning is not known yet): its memory is constant.
class QVXmlInputGuard {
 public:
  // The session format uses a handful of attributes per element.
  static constexpr std::size_t kDefaultMaxAttributesPerElement = 256;
  static constexpr std::uint64_t kDefaultMaxIgnorableBytes = std::uint64_t(16) << 20;

  explicit QVXmlInputGuard(std::size_t maxAttributesPerElement = kDefaultMaxAttributesPerElement,
               std::uint64_t maxIgnorableBytes = kDefaultMaxIgnorableBytes);

  // The most bytes filter() can write beyond the size of its input.
  static constexpr std::size_t kHeldBack = 3;

  // Scans the next chunk and writes what the parser is to see into out,
  // which has room for size + kHeldBack bytes; size 0 marks the end of the
  // document and releases what was held back. Returns the number of bytes
  // written, or -1 once the document is refused; refusal() then says why,
  // and every later call returns -1.
  long filter(const char* data, std::size_t size, char* out);

  // filter() for callers that only want the verdict.
  bool feed(const char* data, std::size_t size);

  const std::string& refusal() const { return refusal_; }
  std::uint64_t ignorableBytes() const { return ignorable_; }

 private:
  enum class State { Text, Open, Bang, BangDash, Skip, StartTag, AttributeValue, EndTag };

  bool _step(char c);
  void _emit(char c) { out_[written_++] = c; }
  void _release();
  void _skipUntil(const char* terminator, bool keep);
  bool _refuse(std::string why);
  bool _addIgnorable(std::uint64_t count);

  std::size_t maxAttributes_;
  std::uint64_t maxIgnorable_;
  State state_ = State::Text;
  const char* terminator_ = nullptr;   // what ends the skipped construct
  std::size_t matched_ = 0;            // how much of the terminator was seen
  bool skipIsIgnorable_ = false;       // comments and instructions count, CDATA does not
  bool skipKeeps_ = true;              // whether the skipped bytes reach the parser
  std::uint64_t offset_ = 0;           // bytes scanned so far
  std::uint64_t openOffset_ = 0;       // where the held "<" was
  char held_[kHeldBack] = {};
  std::size_t heldCount_ = 0;
  char* out_ = nullptr;
  std::size_t written_ = 0;
  char quote_ = 0;
  std::size_t attributes_ = 0;
  std::uint64_t whitespaceRun_ = 0;
  bool textSignificant_ = false;
  std::uint64_t ignorable_ = 0;
  std::string refusal_;
};

} // namespace Quorvel
