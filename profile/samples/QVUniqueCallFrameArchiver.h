#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <unordered_map>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "samples/QVCallFrameTree.h"
#include "samples/QVUniqueCallFrame.h"

namespace Quorvel {

class QVSymbolSource;

// The frame tree of one thread in one mode: every distinct call-stack suffix
// (from the outermost frame inward) is stored once, and a sample is just the
// descriptor of its innermost frame. A frame's descriptor is its position.
//
// Frames are kept in a deque so that frame pointers handed out to walkers
// stay valid while more stacks are archived.
//
// Not locked: one sampler thread archives, and readers come after it.
//
// Archive keys: "Frames", a list of "Frame" elements (QVUniqueCallFrame) in
// descriptor order. Reading rejects a parent descriptor that is not an
// earlier frame with QVException, so decoded trees have no cycles.
class QVUniqueCallFrameArchiver : public QVArchivable, public QVUnarchivable, public QVCallFrameTree {
 public:
  QVUniqueCallFrameArchiver();
  ~QVUniqueCallFrameArchiver() override;
  QVUniqueCallFrameArchiver(const QVUniqueCallFrameArchiver&) = delete;
  QVUniqueCallFrameArchiver& operator=(const QVUniqueCallFrameArchiver&) = delete;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Not owned; must outlive the archiver's use (processes live in their registry).
  virtual void setSymbolSource(const QVSymbolSource* source);
  const QVSymbolSource* symbolSource() const override;
  // Stores the stack (addresses[0] innermost) and returns the descriptor of
  // its innermost frame; -1 for an empty stack.
  virtual int archiveCallFrames(const std::vector<uint64_t>& addresses);
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  // "<calls> callstacks [<non-empty %> hit] <visits> frames [<hit %> hit]
  // <unique> unique frames".
  virtual void getDescription(std::ostream& os) const;

  // Appends a frame without parent and returns its descriptor.
  int _createUniqueFrame(uint64_t address);
  // The outermost frame with this address, created when absent.
  int _getDescriptorForAddress(uint64_t address);

  // Walks over the tree. Descriptors outside 0..frameCount()-1 name nothing.
  int frameCount() const override { return static_cast<int>(frames_.size()); }
  const QVUniqueCallFrame* frameForDescriptor(int descriptor) const;
  const QVAbstractCallFrame* frameAtDescriptor(int descriptor) const override { return frameForDescriptor(descriptor); }
  // -1 past the root or for a descriptor that names nothing.
  int parentOfDescriptor(int descriptor) const override;
  // Frames from the descriptor out to the root; 0 for -1.
  int depthOfDescriptor(int descriptor) const;
  // The descriptor `position` steps out from `leaf`; -1 past the root.
  int descriptorAtPosition(int leaf, int position) const;

  uint64_t stackCount() const { return stackCount_; }
  uint64_t nonEmptyStackCount() const { return nonEmptyStackCount_; }
  uint64_t frameVisitCount() const { return frameVisitCount_; }
  uint64_t frameHitCount() const { return frameHitCount_; }

 private:
  // Appends a child of `parent`, linking both ways.
  int _createChildFrame(int parent, uint64_t address);
  // The leaf of a stack archived before with exactly these addresses, or -1.
  int _knownLeaf(const std::vector<uint64_t>& addresses, uint64_t hash);

  std::deque<QVUniqueCallFrame> frames_;
  std::unordered_map<uint64_t, int> rootByAddress_;
  // The previous stack, outermost first, with the descriptor reached at each
  // level. Consecutive samples of a thread mostly share their outer frames,
  // and comparing against this contiguous copy finds the same frames the
  // tree search would without touching the tree.
  std::vector<uint64_t> lastAddresses_;
  std::vector<int> lastDescriptors_;
  // Whole stacks by a hash of their addresses: a profile repeats a modest
  // number of distinct stacks, and confirming one by walking its parent
  // links touches far less memory than searching children level by level.
  // A collision only costs the search; the walk decides. Not archived.
  std::unordered_map<uint64_t, int> leafByStackHash_;
  const QVSymbolSource* symbolSource_;
  uint64_t stackCount_;
  uint64_t nonEmptyStackCount_;
  uint64_t frameVisitCount_;
  uint64_t frameHitCount_;
};

std::ostream& operator<<(std::ostream& os, const QVUniqueCallFrameArchiver& archiver);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVUniqueCallFrameArchiver>& archiver);

}  // namespace Quorvel
