#pragma once

#include "archive/QVArchivable.h"

namespace Quorvel {

// An object that an archiver writes once, numbered with "objid", and refers
// to with "objref" wherever it is encoded again in the same document.
class QVUniqueArchivable : public QVArchivable {
 public:
  // What makes two encodings "the same object". Value handles of interned
  // records (identifiers) answer with the record, so that every copy of one
  // identifier is written once.
  virtual const void* archiveIdentity() const { return this; }
};

}  // namespace Quorvel
