#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "archive/QVUnarchivable.h"
#include "archive/QVUniqueArchivable.h"

namespace Quorvel {

// An immutable byte buffer shared by its copies (a vdso image, a raw
// record). Copies share the bytes, and so are written once in a document.
//
// Archive key: "Bytes" (data).
class QVData : public QVUniqueArchivable, public QVUnarchivable {
 public:
  QVData();  // empty
  explicit QVData(std::vector<unsigned char> bytes);

  // Valid for the life of this object or any copy of it. Never null, even
  // when empty, so that it can go straight to memcpy and friends.
  const unsigned char* bytes() const { return bytes_->empty() ? &emptyByte_ : bytes_->data(); }
  size_t length() const { return bytes_->size(); }
  const std::vector<unsigned char>& vector() const { return *bytes_; }

  bool operator==(const QVData& other) const { return bytes_ == other.bytes_ || *bytes_ == *other.bytes_; }
  bool operator!=(const QVData& other) const { return !(*this == other); }

  const void* archiveIdentity() const override { return bytes_.get(); }
  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Replaces this object's buffer; copies made before keep the old bytes.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  std::shared_ptr<const std::vector<unsigned char>> bytes_;
  static inline const unsigned char emptyByte_ = 0;
};

}  // namespace Quorvel
