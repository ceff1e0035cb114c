#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "archive/QVUniqueArchivable.h"
#include "ids/QVInternTable.h"

namespace Quorvel {

// How one field of an identifier is archived: other identifiers as shared
// objects, text as a string, integers as archived number text. A field of
// another type specialises this next to the identifier that uses it.
template <class T>
struct QVIdentifierField {
  static void encode(QVArchiver* archiver, const T& value, const char* key) { archiver->encodeObject(value, key); }
  static T decode(QVUnarchiver* unarchiver, const char* key) {
    std::shared_ptr<T> value;
    unarchiver->decodeObjectForKey(key, value);
    return *value;
  }
};

template <>
struct QVIdentifierField<std::string> {
  static void encode(QVArchiver* archiver, const std::string& value, const char* key) {
    archiver->encodeString(value, key);
  }
  static std::string decode(QVUnarchiver* unarchiver, const char* key) {
    std::string value;
    unarchiver->decodeString(key, value);
    return value;
  }
};

template <>
struct QVIdentifierField<int64_t> {
  static void encode(QVArchiver* archiver, int64_t value, const char* key) { archiver->encodeSigned(value, key); }
  static int64_t decode(QVUnarchiver* unarchiver, const char* key) { return unarchiver->decodeSigned(key); }
};

template <>
struct QVIdentifierField<int> {
  static void encode(QVArchiver* archiver, int value, const char* key) { archiver->encodeSigned(value, key); }
  static int decode(QVUnarchiver* unarchiver, const char* key) {
    return static_cast<int>(unarchiver->decodeSigned(key));
  }
};

template <>
struct QVIdentifierField<uint64_t> {
  static void encode(QVArchiver* archiver, uint64_t value, const char* key) { archiver->encodeUnsigned(value, key); }
  static uint64_t decode(QVUnarchiver* unarchiver, const char* key) { return unarchiver->decodeUnsigned(key); }
};

// The interned record of an identifier: its fields and their hash, computed
// once.
template <class... Fields>
struct QVInternedRecord {
  size_t hash;
  std::tuple<Fields...> fields;

  bool operator==(const QVInternedRecord& other) const { return fields == other.fields; }
};

// Base of the identifier value classes: a handle on an immortal interned
// record of Fields (see QVInternTable). Copies are a pointer copy; equal
// identifiers share one record, so equality is pointer equality. A null
// record is the invalid identifier.
//
// Id, the concrete class, declares this base a friend and supplies
//   static constexpr const char* kKeys[]    archive key of each field
//   static constexpr const char* kInvalidText
//   void _describe(std::ostream&) const     stream form of a valid id
// Identifiers order by their fields in turn, the invalid one first. They
// archive as one element per field (see QVIdentifierField); the invalid
// one is an element without keys.
template <class Id, class... Fields>
class QVInternedId : public QVUniqueArchivable, public QVUnarchivable {
 public:
  static Id invalid() { return Id(); }

  bool isValid() const { return record_ != nullptr; }
  size_t hash() const { return record_ ? record_->hash : 0; }

  bool operator==(const QVInternedId& other) const { return record_ == other.record_; }
  bool operator!=(const QVInternedId& other) const { return record_ != other.record_; }
  bool operator<(const QVInternedId& other) const {
    if (record_ == other.record_) {
      return false;
    }
    if (record_ == nullptr || other.record_ == nullptr) {
      return record_ == nullptr;
    }
    return record_->fields < other.record_->fields;
  }

  // Every copy of one identifier is written once in a document. Invalid
  // identifiers of one class share a marker of that class, so that an
  // invalid id of one class is never written as a reference to another's.
  const void* archiveIdentity() const override {
    return record_ != nullptr ? static_cast<const void*>(record_) : static_cast<const void*>(&invalidMarker_);
  }

  void encodeWithArchiver(QVArchiver* archiver) const override {
    static_assert(std::size(Id::kKeys) == sizeof...(Fields), "one archive key per field");
    if (record_ != nullptr) {
      _encodeFields(archiver, std::index_sequence_for<Fields...>());
    }
  }

  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override {
    if (!unarchiver->hasValueForKey(Id::kKeys[0])) {
      record_ = nullptr;
      return;
    }
    record_ = _decodeFields(unarchiver, std::index_sequence_for<Fields...>());
  }

  void getDescription(std::ostream& os) const {
    if (record_ == nullptr) {
      os << Id::kInvalidText;
    } else {
      static_cast<const Id&>(*this)._describe(os);
    }
  }

  friend size_t hash_value(const QVInternedId& id) { return id.hash(); }
  friend std::ostream& operator<<(std::ostream& os, const QVInternedId& id) {
    id.getDescription(os);
    return os;
  }

 protected:
  using Record = QVInternedRecord<Fields...>;

  QVInternedId() = default;
  QVInternedId(const QVInternedId&) = default;
  QVInternedId& operator=(const QVInternedId&) = default;
  ~QVInternedId() override = default;

  static Id _intern(const Fields&... fields) {
    Id id;
    id.record_ = _internRecord(std::tuple<Fields...>(fields...));
    return id;
  }

  // A field of a valid identifier.
  template <size_t I>
  const std::tuple_element_t<I, std::tuple<Fields...>>& _field() const {
    return std::get<I>(record_->fields);
  }

  // What text accessors answer for the invalid identifier.
  static const std::string& _emptyText() {
    static const std::string empty;
    return empty;
  }

  const Record* record_ = nullptr;

 private:
  static const Record* _internRecord(std::tuple<Fields...> fields) {
    const size_t hash = std::apply([](const Fields&... values) { return QVInternHash(values...); }, fields);
    return QVInternTable<Record>::shared().intern(Record{hash, std::move(fields)});
  }

  template <size_t... I>
  void _encodeFields(QVArchiver* archiver, std::index_sequence<I...>) const {
    (QVIdentifierField<Fields>::encode(archiver, std::get<I>(record_->fields), Id::kKeys[I]), ...);
  }

  // A braced list reads the fields in key order.
  template <size_t... I>
  static const Record* _decodeFields(QVUnarchiver* unarchiver, std::index_sequence<I...>) {
    return _internRecord(std::tuple<Fields...>{QVIdentifierField<Fields>::decode(unarchiver, Id::kKeys[I])...});
  }

  static inline const char invalidMarker_ = 0;
};

// The std::hash of every identifier class.
struct QVInternedIdHash {
  template <class Id>
  size_t operator()(const Id& id) const {
    return id.hash();
  }
};

}  // namespace Quorvel
