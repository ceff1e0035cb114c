#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"

namespace Quorvel {

// Free-form string properties of a session or of its data, kept sorted by
// key so that descriptions and files come out the same every time.
//
// Typed values are stored as the archive's number text: unsigned as
// "0x%llx", signed as "%lld", doubles as "%.10f". The typed getters read any
// value with base detection ("0x" hexadecimal, leading 0 octal); a missing
// key or a value that is not a number reads as 0.
//
// Archived as repeated "Property" elements, each holding "Key" and "Value"
// (strings), in key order.
class QVPropertyMap : public QVArchivable, public QVUnarchivable {
 public:
  using const_iterator = std::map<std::string, std::string>::const_iterator;

  QVPropertyMap() = default;

  void setString(const std::string& key, const std::string& value);
  void setFloat(const std::string& key, double value);
  void setUnsigned(const std::string& key, uint64_t value);
  void setSigned(const std::string& key, int64_t value);

  // Empty when the key is missing.
  std::string stringValue(const std::string& key) const;
  uint64_t unsignedValue(const std::string& key) const;
  int64_t signedValue(const std::string& key) const;
  double floatValue(const std::string& key) const;

  bool hasKey(const std::string& key) const;
  // True when the key was present.
  bool remove(const std::string& key);
  void clear() { values_.clear(); }
  size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }

  const_iterator begin() const { return values_.begin(); }
  const_iterator end() const { return values_.end(); }

  bool operator==(const QVPropertyMap& other) const { return values_ == other.values_; }
  bool operator!=(const QVPropertyMap& other) const { return values_ != other.values_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Replaces the contents with the decoded properties.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  std::map<std::string, std::string> values_;
};

}  // namespace Quorvel
