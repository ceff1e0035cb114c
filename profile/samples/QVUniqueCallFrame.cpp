#include "samples/QVUniqueCallFrame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "samples/QVUniqueCallFrameArchiver.h"

namespace Quorvel {

namespace {

// The heap array of n >= 2 children has room for the smallest power of two
// holding n, so the capacity needs no field of its own.
uint32_t CapacityFor(uint32_t count) {
  uint32_t capacity = 2;
  while (capacity < count) {
    capacity *= 2;
  }
  return capacity;
}

bool IsPowerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

QVUniqueCallFrame::QVUniqueCallFrame()
    : frameArchiver_(nullptr), address_(0), parentFrameDescriptor_(-1), childCount_(0), singleChild_(0) {}

QVUniqueCallFrame::QVUniqueCallFrame(uint64_t address, const QVUniqueCallFrameArchiver* archiver)
    : frameArchiver_(archiver), address_(address), parentFrameDescriptor_(-1), childCount_(0), singleChild_(0) {}

QVUniqueCallFrame::QVUniqueCallFrame(const QVUniqueCallFrame& other)
    : QVAbstractCallFrame(other),
      QVArchivable(other),
      QVUnarchivable(other),
      frameArchiver_(other.frameArchiver_),
      address_(other.address_),
      parentFrameDescriptor_(other.parentFrameDescriptor_),
      childCount_(0),
      singleChild_(0) {
  _copyChildren(other);
}

QVUniqueCallFrame::QVUniqueCallFrame(QVUniqueCallFrame&& other) noexcept
    : QVAbstractCallFrame(other),
      QVArchivable(other),
      QVUnarchivable(other),
      frameArchiver_(other.frameArchiver_),
      address_(other.address_),
      parentFrameDescriptor_(other.parentFrameDescriptor_),
      childCount_(0),
      singleChild_(0) {
  _takeChildren(other);
}

QVUniqueCallFrame& QVUniqueCallFrame::operator=(const QVUniqueCallFrame& other) {
  if (this != &other) {
    frameArchiver_ = other.frameArchiver_;
    address_ = other.address_;
    parentFrameDescriptor_ = other.parentFrameDescriptor_;
    _releaseChildren();
    _copyChildren(other);
  }
  return *this;
}

QVUniqueCallFrame& QVUniqueCallFrame::operator=(QVUniqueCallFrame&& other) noexcept {
  if (this != &other) {
    frameArchiver_ = other.frameArchiver_;
    address_ = other.address_;
    parentFrameDescriptor_ = other.parentFrameDescriptor_;
    _releaseChildren();
    _takeChildren(other);
  }
  return *this;
}

QVUniqueCallFrame::~QVUniqueCallFrame() { _releaseChildren(); }

void QVUniqueCallFrame::_releaseChildren() noexcept {
  if (childCount_ >= 2) {
    delete[] manyChildren_;
  }
  childCount_ = 0;
  singleChild_ = 0;
}

void QVUniqueCallFrame::_copyChildren(const QVUniqueCallFrame& other) {
  if (other.childCount_ >= 2) {
    int32_t* copy = new int32_t[CapacityFor(other.childCount_)];
    std::memcpy(copy, other.manyChildren_, other.childCount_ * sizeof(int32_t));
    manyChildren_ = copy;
  } else {
    singleChild_ = other.singleChild_;
  }
  childCount_ = other.childCount_;
}

void QVUniqueCallFrame::_takeChildren(QVUniqueCallFrame& other) noexcept {
  if (other.childCount_ >= 2) {
    manyChildren_ = other.manyChildren_;
  } else {
    singleChild_ = other.singleChild_;
  }
  childCount_ = other.childCount_;
  other.childCount_ = 0;
  other.singleChild_ = 0;
}

const QVSymbolSource* QVUniqueCallFrame::_symbolSource() const {
  return frameArchiver_ != nullptr ? frameArchiver_->symbolSource() : nullptr;
}

const std::shared_ptr<QVSymbol>& QVUniqueCallFrame::symbol(QVRange<uint64_t>& range) const {
  return _symbolFromSource(_symbolSource(), range);
}

const std::shared_ptr<QVSection>& QVUniqueCallFrame::section(QVRange<uint64_t>& range) const {
  return _sectionFromSource(_symbolSource(), range);
}

const std::shared_ptr<QVModule>& QVUniqueCallFrame::module() const { return _moduleFromSource(_symbolSource()); }

QVFileId QVUniqueCallFrame::sourceLocation(int& line) const {
  return _sourceLocationFromSource(_symbolSource(), line);
}

void QVUniqueCallFrame::getDefaultDescription(std::ostream& os) const {
  getDescription(os, false, true, true, false, false, false, false, false, true);
}

std::vector<int> QVUniqueCallFrame::childrenFrameDescriptors() const {
  return std::vector<int>(childrenBegin(), childrenEnd());
}

void QVUniqueCallFrame::addChildFrameDescriptor(int descriptor) {
  const int* begin = childrenBegin();
  const int* end = childrenEnd();
  // New frames get the highest descriptor so far, so appending is the
  // common case; check it before searching.
  const int* position = (childCount_ == 0 || end[-1] < descriptor) ? end : std::lower_bound(begin, end, descriptor);
  if (position != end && *position == descriptor) {
    return;
  }
  const size_t index = static_cast<size_t>(position - begin);
  if (childCount_ == 0) {
    singleChild_ = descriptor;
    childCount_ = 1;
    return;
  }
  const uint32_t newCount = childCount_ + 1;
  if (childCount_ == 1 || IsPowerOfTwo(childCount_)) {
    int32_t* grown = new int32_t[CapacityFor(newCount)];
    std::memcpy(grown, begin, childCount_ * sizeof(int32_t));
    if (childCount_ >= 2) {
      delete[] manyChildren_;
    }
    manyChildren_ = grown;
  }
  int32_t* children = manyChildren_;
  std::memmove(children + index + 1, children + index, (childCount_ - index) * sizeof(int32_t));
  children[index] = descriptor;
  childCount_ = newCount;
}

void QVUniqueCallFrame::clearChildFrameDescriptors() { _releaseChildren(); }

void QVUniqueCallFrame::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeUnsigned(address_, "Address");
  archiver->encodeSigned(parentFrameDescriptor_, "ParentDesc");
}

void QVUniqueCallFrame::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  address_ = unarchiver->decodeUnsigned("Address");
  const int64_t parent = unarchiver->decodeSigned("ParentDesc");
  // Out-of-range values become an impossible descriptor rather than
  // wrapping onto a real one; the archiver rejects them.
  parentFrameDescriptor_ = (parent < -1 || parent > INT32_MAX) ? INT32_MIN : static_cast<int32_t>(parent);
}

std::ostream& operator<<(std::ostream& os, const QVUniqueCallFrame& frame) {
  frame.getDefaultDescription(os);
  return os;
}

}  // namespace Quorvel
