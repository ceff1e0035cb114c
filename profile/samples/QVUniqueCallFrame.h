#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {

class QVUniqueCallFrameArchiver;

// One node of a per-thread frame tree: an address, the descriptor of its
// caller (-1 for an outermost frame) and the descriptors of the frames it
// called, in ascending order. Descriptors are positions in the owning
// QVUniqueCallFrameArchiver, which also supplies the symbol source.
//
// Frames exist by the million, so the children are kept in a compact
// sorted array (one descriptor inline, more on the heap) rather than a
// node-based set.
//
// Equal when address and parent are; ordered by address, then parent.
//
// Archive keys, in order: "Address" ("0x%llx"), "ParentDesc" ("%lld"). The
// children are not written; the archiver rebuilds them from the parents.
class QVUniqueCallFrame : public QVAbstractCallFrame, public QVArchivable, public QVUnarchivable {
 public:
  // Address 0, no archiver, no parent, no children.
  QVUniqueCallFrame();
  QVUniqueCallFrame(uint64_t address, const QVUniqueCallFrameArchiver* archiver);
  QVUniqueCallFrame(const QVUniqueCallFrame& other);
  QVUniqueCallFrame(QVUniqueCallFrame&& other) noexcept;
  QVUniqueCallFrame& operator=(const QVUniqueCallFrame& other);
  QVUniqueCallFrame& operator=(QVUniqueCallFrame&& other) noexcept;
  ~QVUniqueCallFrame() override;

  // Final, so that the archiver's tree search calls it directly.
  uint64_t address() const final { return address_; }
  // A frame with callees is a caller. A sample may also end at such an
  // address (its thread had just returned there); it is then looked up
  // inside the call it returned from, the same function and line.
  bool isCaller() const override { return childCount_ > 0; }
  // Resolved through the archiver's symbol source; nothing without one.
  const std::shared_ptr<QVSymbol>& symbol(QVRange<uint64_t>& range) const override;
  const std::shared_ptr<QVSection>& section(QVRange<uint64_t>& range) const override;
  const std::shared_ptr<QVModule>& module() const override;
  QVFileId sourceLocation(int& line) const override;
  // Name, demangled, module; the address only when no named symbol stands in.
  void getDefaultDescription(std::ostream& os) const override;

  int parentFrameDescriptor() const { return parentFrameDescriptor_; }
  void setParentFrameDescriptor(int descriptor) { parentFrameDescriptor_ = descriptor; }
  // The children in ascending order.
  std::vector<int> childrenFrameDescriptors() const;
  // Adding a descriptor already present changes nothing.
  void addChildFrameDescriptor(int descriptor);
  // Allocation-free access to the children, ascending: [begin, end).
  const int* childrenBegin() const { return childCount_ >= 2 ? manyChildren_ : &singleChild_; }
  const int* childrenEnd() const { return childrenBegin() + childCount_; }
  int childCount() const { return static_cast<int>(childCount_); }
  void clearChildFrameDescriptors();

  const QVUniqueCallFrameArchiver* frameArchiver() const { return frameArchiver_; }
  void setFrameArchiver(const QVUniqueCallFrameArchiver* archiver) { frameArchiver_ = archiver; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  // A malformed number reads as 0.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  using QVAbstractCallFrame::operator==;
  using QVAbstractCallFrame::operator!=;
  bool operator==(const QVUniqueCallFrame& other) const {
    return address_ == other.address_ && parentFrameDescriptor_ == other.parentFrameDescriptor_;
  }
  bool operator!=(const QVUniqueCallFrame& other) const { return !(*this == other); }
  bool operator<(const QVUniqueCallFrame& other) const {
    return address_ < other.address_ ||
           (address_ == other.address_ && parentFrameDescriptor_ < other.parentFrameDescriptor_);
  }

 private:
  const QVSymbolSource* _symbolSource() const;
  void _releaseChildren() noexcept;
  void _copyChildren(const QVUniqueCallFrame& other);
  void _takeChildren(QVUniqueCallFrame& other) noexcept;

  const QVUniqueCallFrameArchiver* frameArchiver_;
  uint64_t address_;
  int32_t parentFrameDescriptor_;
  // One child lives in singleChild_; from two on they live in manyChildren_,
  // whose capacity is the smallest power of two holding childCount_.
  uint32_t childCount_;
  union {
    int32_t singleChild_;
    int32_t* manyChildren_;
  };
};

std::ostream& operator<<(std::ostream& os, const QVUniqueCallFrame& frame);

}  // namespace Quorvel
