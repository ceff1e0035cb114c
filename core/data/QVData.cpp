#include "data/QVData.h"

#include <utility>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

// Every object owns a buffer, even an empty one, so that bytes() needs no
// null check and distinct empty objects are distinct in a document.
QVData::QVData() : bytes_(std::make_shared<const std::vector<unsigned char>>()) {}

QVData::QVData(std::vector<unsigned char> bytes)
    : bytes_(std::make_shared<const std::vector<unsigned char>>(std::move(bytes))) {}

void QVData::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeData(bytes_->data(), bytes_->size(), "Bytes");
}

void QVData::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::vector<unsigned char> bytes;
  unarchiver->decodeData("Bytes", bytes);
  bytes_ = std::make_shared<const std::vector<unsigned char>>(std::move(bytes));
}

}  // namespace Quorvel
