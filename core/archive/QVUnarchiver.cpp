#include "archive/QVUnarchiver.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <locale.h>

#include "archive/QVArchivable.h"
#include "archive/QVXmlUnarchiver.h"
#include "base/QVLog.h"

namespace Quorvel {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// The number's text without surrounding blanks. Blanks are tolerated
// because hand-edited and indented documents carry them; anything else
// around the number makes it "not a number".
std::string_view Trimmed(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Archives are written in the C locale's number format whatever locale the
// application runs in, so they are read back in it too.
locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// Samples carry several numbers each, so the common forms ("0x..." and
// plain decimal) take std::from_chars; the rest (signs, octal) go through
// strtoull/strtoll, whose rules these fast paths reproduce.
template <class Integer>
bool ParseFast(std::string_view number, Integer& value) {
  int base = 10;
  if (number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X')) {
    base = 16;
    number.remove_prefix(2);
  } else if (number.size() > 1 && number[0] == '0') {
    return false;
  }
  if (number.empty() || !std::isxdigit(static_cast<unsigned char>(number[0]))) {
    return false;
  }
  auto result = std::from_chars(number.data(), number.data() + number.size(), value, base);
  return result.ec == std::errc() && result.ptr == number.data() + number.size();
}

template <class Integer, class Convert>
Integer ParseInteger(const std::string& text, Convert convert) {
  std::string_view number = Trimmed(text);
  if (number.empty()) {
    return 0;
  }
  Integer value = 0;
  if (ParseFast(number, value)) {
    return value;
  }
  std::string copy(number);
  char* end = nullptr;
  errno = 0;
  auto converted = convert(copy.c_str(), &end);
  if (errno != 0 || end != copy.c_str() + copy.size()) {
    return 0;
  }
  return static_cast<Integer>(converted);
}

}  // namespace

uint64_t ParseArchivedUnsigned(const std::string& text) {
  return ParseInteger<uint64_t>(text, [](const char* s, char** end) { return std::strtoull(s, end, 0); });
}

int64_t ParseArchivedSigned(const std::string& text) {
  return ParseInteger<int64_t>(text, [](const char* s, char** end) { return std::strtoll(s, end, 0); });
}

double ParseArchivedDouble(const std::string& text) {
  std::string number(Trimmed(text));
  if (number.empty()) {
    return 0.0;
  }
  char* end = nullptr;
  double value = CLocale() ? strtod_l(number.c_str(), &end, CLocale()) : std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size()) {
    return 0.0;
  }
  return value;
}

uint64_t QVUnarchiver::decodeUnsigned(std::string_view key) {
  std::string text;
  decodeString(key, text);
  return ParseArchivedUnsigned(text);
}

int64_t QVUnarchiver::decodeSigned(std::string_view key) {
  std::string text;
  decodeString(key, text);
  return ParseArchivedSigned(text);
}

double QVUnarchiver::decodeDouble(std::string_view key) {
  std::string text;
  decodeString(key, text);
  return ParseArchivedDouble(text);
}

void QVUnarchiver::registerObject(uint64_t objectId, const std::shared_ptr<QVUnarchivable>& object) {
  auto inserted = objects_.emplace(objectId, object);
  if (!inserted.second) {
    throw QVException("duplicate objid " + std::to_string(objectId) + " in archive", __LINE__, __FILE__);
  }
}

std::shared_ptr<QVUnarchivable> QVUnarchiver::objectForId(uint64_t objectId) const {
  auto found = objects_.find(objectId);
  return found == objects_.end() ? nullptr : found->second;
}

std::unique_ptr<QVUnarchiver> QVUnarchiver::createUnarchiver(std::istream& stream) {
  return std::make_unique<QVXmlUnarchiver>(stream);
}

void QVUnarchiver::warnIfNewer(const std::string& key, const QVUnarchivable& object) {
  const auto* archivable = dynamic_cast<const QVArchivable*>(&object);
  if (archivable == nullptr) {
    return;
  }
  int major = 0;
  int minor = 0;
  objectVersion(major, minor);
  const int knownMajor = archivable->getCurrentMajorVersion();
  const int knownMinor = archivable->getCurrentMinorVersion();
  const bool newer = major > knownMajor || (major == knownMajor && minor > knownMinor);
  if (newer && newerWarned_.insert(key).second) {
    QV_WARNING("element '" << key << "' has format version " << major << "." << minor << ", newer than version "
                           << knownMajor << "." << knownMinor
                           << " that this reader knows; parts it does not recognise are skipped");
  }
}

}  // namespace Quorvel
