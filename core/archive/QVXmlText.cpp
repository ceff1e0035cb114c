#include "archive/QVXmlText.h"

#include <array>
#include <cstdint>

#include "archive/QVArchiveOutput.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

// Byte classes for the scanning loops: most text is plain ASCII, so the
// loops test one table entry per byte and copy whole runs of plain bytes.
enum ByteClass : uint8_t { kPlain = 0, kMarkup = 1, kControl = 2, kHigh = 3, kBackslash = 4 };

constexpr std::array<uint8_t, 256> MakeByteClasses() {
  std::array<uint8_t, 256> classes{};
  for (int b = 0; b < 256; ++b) {
    uint8_t c = kPlain;
    if (b < 0x20 && b != '\t' && b != '\n') {
      c = kControl;
    } else if (b == '&' || b == '<' || b == '>') {
      c = kMarkup;
    } else if (b == '\\') {
      c = kBackslash;
    } else if (b >= 0x80) {
      c = kHigh;
    }
    classes[static_cast<size_t>(b)] = c;
  }
  return classes;
}

constexpr std::array<uint8_t, 256> kByteClass = MakeByteClasses();

inline uint8_t ClassOf(char c) { return kByteClass[static_cast<unsigned char>(c)]; }

const char* EntityFor(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: return nullptr;
  }
}

void PutEntity(QVArchiveOutput& out, char c) {
  const char* entity = EntityFor(c);
  out.put(std::string_view(entity));
}

void PutHexEscape(QVArchiveOutput& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char escaped[4] = {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xf]};
  out.put(escaped, 4);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

size_t QVXmlText::utf8SequenceLength(std::string_view text, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
  size_t left = text.size() - at;
  unsigned char lead = p[0];
  size_t length;
  uint32_t code;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    code = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    code = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (left < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xc0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (p[i] & 0x3f);
  }
  // Overlong forms, surrogates, values past U+10FFFF and the two
  // non-characters are all outside XML's Char production.
  if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff)) ||
      (code >= 0xd800 && code <= 0xdfff) || code == 0xfffe || code == 0xffff) {
    return 0;
  }
  return length;
}

QVXmlText::Scan QVXmlText::scan(std::string_view text) {
  Scan result = Scan::Plain;
  size_t size = text.size();
  for (size_t i = 0; i < size; ++i) {
    switch (ClassOf(text[i])) {
      case kPlain:
      case kBackslash:
        break;
      case kMarkup:
        result = Scan::Markup;
        break;
      case kControl:
        return Scan::NeedsEscape;
      case kHigh: {
        size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
          return Scan::NeedsEscape;
        }
        i += length - 1;
        break;
      }
    }
  }
  return result;
}

void QVXmlText::write(QVArchiveOutput& out, std::string_view text, Scan scan) {
  if (scan == Scan::Plain) {
    out.put(text);
    return;
  }
  const bool escaping = scan == Scan::NeedsEscape;
  const size_t size = text.size();
  size_t runStart = 0;
  size_t i = 0;
  while (i < size) {
    uint8_t c = ClassOf(text[i]);
    if (c == kPlain || (c == kBackslash && !escaping)) {
      ++i;
      continue;
    }
    if (c == kHigh) {
      size_t length = utf8SequenceLength(text, i);
      if (length != 0) {
        i += length;
        continue;
      }
    }
    out.put(text.data() + runStart, i - runStart);
    if (c == kMarkup) {
      PutEntity(out, text[i]);
    } else if (c == kBackslash) {
      out.put("\\\\", 2);
    } else {
      PutHexEscape(out, static_cast<unsigned char>(text[i]));
    }
    ++i;
    runStart = i;
  }
  out.put(text.data() + runStart, size - runStart);
}

void QVXmlText::writeAttribute(QVArchiveOutput& out, std::string_view text) {
  const size_t size = text.size();
  size_t runStart = 0;
  size_t i = 0;
  while (i < size) {
    char ch = text[i];
    uint8_t c = ClassOf(ch);
    if ((c == kPlain || c == kBackslash) && ch != '"' && ch != '\t' && ch != '\n') {
      ++i;
      continue;
    }
    if (c == kHigh) {
      size_t length = utf8SequenceLength(text, i);
      if (length == 0) {
        throw QVException("attribute value holds malformed UTF-8 at byte " + std::to_string(i), __LINE__,
                          __FILE__);
      }
      i += length;
      continue;
    }
    if (EntityFor(ch) == nullptr) {
      throw QVException("attribute value holds control byte " + std::to_string(static_cast<int>(ch)) +
                            ", which XML cannot carry",
                        __LINE__, __FILE__);
    }
    out.put(text.data() + runStart, i - runStart);
    PutEntity(out, ch);
    ++i;
    runStart = i;
  }
  out.put(text.data() + runStart, size - runStart);
}

void QVXmlText::unescape(std::string& text) {
  size_t read = text.find('\\');
  if (read == std::string::npos) {
    return;
  }
  size_t write = read;
  const size_t size = text.size();
  while (read < size) {
    char c = text[read];
    if (c != '\\') {
      text[write++] = c;
      ++read;
      continue;
    }
    if (read + 1 < size && text[read + 1] == '\\') {
      text[write++] = '\\';
      read += 2;
      continue;
    }
    int high = read + 3 < size && text[read + 1] == 'x' ? HexValue(text[read + 2]) : -1;
    int low = high >= 0 ? HexValue(text[read + 3]) : -1;
    if (low < 0) {
      throw QVException("malformed escape in escaped text at offset " + std::to_string(read), __LINE__,
                        __FILE__);
    }
    text[write++] = static_cast<char>(high * 16 + low);
    read += 4;
  }
  text.resize(write);
}

}  // namespace Quorvel
