#pragma once

#include "QVUnarchivable.h"
#include "QVUniqueArchivable.h"

namespace Quorvel {

// Base of the identifier value classes: a handle on an immortal interned
// record (see QVInternTable). Copies are a pointer copy; equal identifiers
// share one record, so equality is pointer equality. A null record is the
// invalid identifier.
template <class Record>
class QVInternedId : public QVUniqueArchivable, public QVUnarchivable {
 public:
  bool isValid() const { return record_ != nullptr; }

  // Every copy of one identifier is written once in a document. Invalid
  // identifiers of one class share a marker of that class, so that an
  // invalid id of one class is never written as a reference to another's.
  const void* archiveIdentity() const override {
    return record_ != nullptr ? static_cast<const void*>(record_) : static_cast<const void*>(&invalidMarker_);
  }

 protected:
  QVInternedId() = default;
  explicit QVInternedId(const Record* record) : record_(record) {}
  QVInternedId(const QVInternedId&) = default;
  QVInternedId& operator=(const QVInternedId&) = default;
  ~QVInternedId() override = default;

  const Record* record_ = nullptr;

 private:
  static inline const char invalidMarker_ = 0;
};

}  // namespace Quorvel
