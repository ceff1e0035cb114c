#include "data/QVPropertyMap.h"

#include <charconv>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

// One key/value pair as its own element, so that the map's element holds a
// plain sequence of "Property" children.
class PropertyEntry : public QVArchivable {
 public:
  PropertyEntry(const std::string& key, const std::string& value) : key_(key), value_(value) {}
  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeString(key_, "Key");
    archiver->encodeString(value_, "Value");
  }

 private:
  const std::string& key_;
  const std::string& value_;
};

// std::to_chars ignores the global locale, so the text matches the C
// locale's printf forms whatever locale the application has set.
template <class Format>
std::string NumberText(Format format) {
  char text[400];
  char* end = format(text, text + sizeof text);
  return std::string(text, static_cast<size_t>(end - text));
}

}  // namespace

void QVPropertyMap::setString(const std::string& key, const std::string& value) { values_[key] = value; }

void QVPropertyMap::setFloat(const std::string& key, double value) {
  // "%.10f" of the largest double has 309 integer digits.
  values_[key] = NumberText(
      [value](char* first, char* last) { return std::to_chars(first, last, value, std::chars_format::fixed, 10).ptr; });
}

void QVPropertyMap::setUnsigned(const std::string& key, uint64_t value) {
  values_[key] = "0x" + NumberText([value](char* first, char* last) { return std::to_chars(first, last, value, 16).ptr; });
}

void QVPropertyMap::setSigned(const std::string& key, int64_t value) {
  values_[key] = NumberText([value](char* first, char* last) { return std::to_chars(first, last, value).ptr; });
}

std::string QVPropertyMap::stringValue(const std::string& key) const {
  auto found = values_.find(key);
  return found == values_.end() ? std::string() : found->second;
}

uint64_t QVPropertyMap::unsignedValue(const std::string& key) const {
  auto found = values_.find(key);
  return found == values_.end() ? 0 : ParseArchivedUnsigned(found->second);
}

int64_t QVPropertyMap::signedValue(const std::string& key) const {
  auto found = values_.find(key);
  return found == values_.end() ? 0 : ParseArchivedSigned(found->second);
}

double QVPropertyMap::floatValue(const std::string& key) const {
  auto found = values_.find(key);
  return found == values_.end() ? 0.0 : ParseArchivedDouble(found->second);
}

bool QVPropertyMap::hasKey(const std::string& key) const { return values_.count(key) != 0; }

bool QVPropertyMap::remove(const std::string& key) { return values_.erase(key) != 0; }

void QVPropertyMap::encodeWithArchiver(QVArchiver* archiver) const {
  for (const auto& entry : values_) {
    archiver->encodeObjectNoShare(PropertyEntry(entry.first, entry.second), "Property");
  }
}

void QVPropertyMap::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::map<std::string, std::string> decoded;
  while (unarchiver->hasValueForKey("Property")) {
    unarchiver->enterElement("Property");
    std::string key;
    std::string value;
    unarchiver->decodeString("Key", key);
    unarchiver->decodeString("Value", value);
    unarchiver->leaveElement("Property");
    decoded[key] = value;
  }
  values_ = std::move(decoded);
}

}  // namespace Quorvel
