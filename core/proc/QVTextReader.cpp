#include "proc/QVTextReader.h"

#include <charconv>
#include <system_error>

namespace Quorvel {

namespace {

// from_chars reports overflow and partial parses separately; the readers want
// one answer: the whole text is a representable number, or it is not.
template <typename T>
std::optional<T> fromCharsWhole(std::string_view text, int base) {
  if (text.empty()) {
    return std::nullopt;
  }
  T value{};
  const char* first = text.data();
  const char* last = text.data() + text.size();
  std::from_chars_result result = std::from_chars(first, last, value, base);
  if (result.ec != std::errc() || result.ptr != last) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool QVTextReader::atEndOfLine() {
  skipBlanks();
  return atEnd() || text_[position_] == '\n';
}

bool QVTextReader::nextLine(std::string_view& line) {
  if (atEnd()) {
    return false;
  }
  std::size_t end = text_.find('\n', position_);
  if (end == std::string_view::npos) {
    line = text_.substr(position_);
    position_ = text_.size();
  } else {
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
  }
  return true;
}

std::optional<std::string_view> QVTextReader::nextLine() {
  std::string_view line;
  if (!nextLine(line)) {
    return std::nullopt;
  }
  return line;
}

void QVTextReader::skipLine() {
  std::string_view ignored;
  nextLine(ignored);
}

void QVTextReader::skipBlanks() {
  while (position_ < text_.size() && isBlank(text_[position_])) {
    ++position_;
  }
}

bool QVTextReader::nextField(std::string_view& field) {
  skipBlanks();
  std::size_t start = position_;
  std::size_t end = start;
  while (end < text_.size() && text_[end] != '\n' && !isBlank(text_[end])) {
    ++end;
  }
  if (end == start) {
    return false;
  }
  field = text_.substr(start, end - start);
  position_ = end;
  return true;
}

std::optional<std::string_view> QVTextReader::nextField() {
  std::string_view field;
  if (!nextField(field)) {
    return std::nullopt;
  }
  return field;
}

std::optional<uint64_t> QVTextReader::nextUnsigned() {
  std::size_t saved = position_;
  std::string_view field;
  std::optional<uint64_t> value;
  if (nextField(field)) {
    value = parseUnsigned(field);
  }
  if (!value) {
    position_ = saved;
  }
  return value;
}

std::optional<int64_t> QVTextReader::nextSigned() {
  std::size_t saved = position_;
  std::string_view field;
  std::optional<int64_t> value;
  if (nextField(field)) {
    value = parseSigned(field);
  }
  if (!value) {
    position_ = saved;
  }
  return value;
}

std::optional<uint64_t> QVTextReader::nextHex() {
  std::size_t saved = position_;
  std::string_view field;
  std::optional<uint64_t> value;
  if (nextField(field)) {
    value = parseHex(field);
  }
  if (!value) {
    position_ = saved;
  }
  return value;
}

std::optional<double> QVTextReader::nextDouble() {
  std::size_t saved = position_;
  std::string_view field;
  std::optional<double> value;
  if (nextField(field)) {
    value = parseDouble(field);
  }
  if (!value) {
    position_ = saved;
  }
  return value;
}

bool QVTextReader::skipLiteral(std::string_view literal) {
  std::size_t saved = position_;
  skipBlanks();
  if (text_.substr(position_, literal.size()) == literal) {
    position_ += literal.size();
    return true;
  }
  position_ = saved;
  return false;
}

std::string_view QVTextReader::restOfLine() {
  std::string_view line;
  nextLine(line);
  return trim(line);
}

std::optional<uint64_t> QVTextReader::parseUnsigned(std::string_view text, int base) {
  return fromCharsWhole<uint64_t>(text, base);
}

std::optional<int64_t> QVTextReader::parseSigned(std::string_view text) { return fromCharsWhole<int64_t>(text, 10); }

std::optional<uint64_t> QVTextReader::parseHex(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  return parseUnsigned(text, 16);
}

std::optional<double> QVTextReader::parseDouble(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  double value = 0;
  const char* last = text.data() + text.size();
  std::from_chars_result result = std::from_chars(text.data(), last, value);
  if (result.ec != std::errc() || result.ptr != last) {
    return std::nullopt;
  }
  return value;
}

std::string_view QVTextReader::trim(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && (isBlank(text[first]) || text[first] == '\n')) {
    ++first;
  }
  std::size_t last = text.size();
  while (last > first && (isBlank(text[last - 1]) || text[last - 1] == '\n')) {
    --last;
  }
  return text.substr(first, last - first);
}

}  // namespace Quorvel
