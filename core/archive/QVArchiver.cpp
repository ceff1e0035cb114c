#include "archive/QVArchiver.h"

#include <charconv>

#include "archive/QVXmlArchiver.h"

namespace Quorvel {

// std::to_chars is locale-independent, so the text is the same as the C
// locale's printf forms whatever locale the application has set.

void QVArchiver::encodeUnsigned(uint64_t value, std::string_view key) {
  char text[2 + 16];
  text[0] = '0';
  text[1] = 'x';
  auto end = std::to_chars(text + 2, text + sizeof text, value, 16).ptr;
  encodeString(std::string_view(text, static_cast<size_t>(end - text)), key);
}

void QVArchiver::encodeSigned(int64_t value, std::string_view key) {
  char text[24];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  encodeString(std::string_view(text, static_cast<size_t>(end - text)), key);
}

void QVArchiver::encodeDouble(double value, std::string_view key) {
  // "%.10f" of the largest double has 309 integer digits.
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 10);
  encodeString(std::string_view(text, static_cast<size_t>(result.ptr - text)), key);
}

std::unique_ptr<QVArchiver> QVArchiver::createArchiver(std::ostream& stream, const Options& options) {
  return std::make_unique<QVXmlArchiver>(stream, options);
}

std::unique_ptr<QVArchiver> QVArchiver::createArchiver(std::ostream& stream) {
  return createArchiver(stream, Options());
}

}  // namespace Quorvel
