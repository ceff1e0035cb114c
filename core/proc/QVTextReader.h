#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Quorvel {

// A forward-only cursor over kernel-generated text (/proc and /sys files).
//
// Contract:
// - The reader never looks outside the string_view it was given; it does not
//   own the text, which must outlive it and every view it hands out.
// - Lines end at '\n'; a final line without one is still a line, and a
//   trailing '\r' is kept (the kernel never writes one).
// - Fields are runs of characters other than blanks (space, tab, '\r', '\v',
//   '\f') and '\n'. Field reads never cross the end of the current line, so a
//   parser that comes up short on one line cannot swallow the next one.
// - Number reads accept only what std::from_chars accepts (no leading '+',
//   no white space inside) and must consume the whole field; an overflowing
//   or partial number fails. On failure the cursor does not move.
// - Nothing here throws or asserts on malformed text: every read reports
//   failure through its return value.
class QVTextReader {
 public:
  explicit QVTextReader(std::string_view text) : text_(text) {}

  bool atEnd() const { return position_ >= text_.size(); }
  // Whether the cursor stands at the end of a line (or of the text), after
  // skipping blanks.
  bool atEndOfLine();
  std::size_t position() const { return position_; }
  std::string_view remaining() const { return text_.substr(position_); }

  // The rest of the current line, without its '\n', and moves to the start of
  // the next one. False only at the end of the text.
  bool nextLine(std::string_view& line);
  std::optional<std::string_view> nextLine();
  // Moves past the end of the current line.
  void skipLine();

  void skipBlanks();
  // The next field on the current line; false when the line has none left.
  bool nextField(std::string_view& field);
  std::optional<std::string_view> nextField();

  // The next field as a number. Hexadecimal accepts an optional "0x" or "0X"
  // prefix.
  std::optional<uint64_t> nextUnsigned();
  std::optional<int64_t> nextSigned();
  std::optional<uint64_t> nextHex();
  std::optional<double> nextDouble();

  // If the remaining text of the line (after blanks) begins with literal,
  // moves past it and returns true.
  bool skipLiteral(std::string_view literal);
  // The rest of the current line with surrounding blanks removed; the cursor
  // moves to the start of the next line.
  std::string_view restOfLine();

  // Whole-string conversions used by the readers above; also for parsers
  // that have split a line by other rules.
  static std::optional<uint64_t> parseUnsigned(std::string_view text, int base = 10);
  static std::optional<int64_t> parseSigned(std::string_view text);
  // Accepts an optional "0x"/"0X" prefix.
  static std::optional<uint64_t> parseHex(std::string_view text);
  static std::optional<double> parseDouble(std::string_view text);
  static std::string_view trim(std::string_view text);
  static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace Quorvel
