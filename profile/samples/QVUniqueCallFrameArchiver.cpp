#include "samples/QVUniqueCallFrameArchiver.h"

#include <algorithm>
#include <ostream>
#include <string>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

QVUniqueCallFrameArchiver::QVUniqueCallFrameArchiver()
    : symbolSource_(nullptr), stackCount_(0), nonEmptyStackCount_(0), frameVisitCount_(0), frameHitCount_(0) {}

QVUniqueCallFrameArchiver::~QVUniqueCallFrameArchiver() = default;

void QVUniqueCallFrameArchiver::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->beginList("Frames");
  for (const QVUniqueCallFrame& frame : frames_) {
    archiver->encodeObject(frame, "Frame");
  }
  archiver->endList("Frames");
}

void QVUniqueCallFrameArchiver::setSymbolSource(const QVSymbolSource* source) { symbolSource_ = source; }

const QVSymbolSource* QVUniqueCallFrameArchiver::symbolSource() const { return symbolSource_; }

int QVUniqueCallFrameArchiver::_createUniqueFrame(uint64_t address) {
  const int descriptor = static_cast<int>(frames_.size());
  frames_.emplace_back(address, this);
  return descriptor;
}

int QVUniqueCallFrameArchiver::_createChildFrame(int parent, uint64_t address) {
  const int descriptor = _createUniqueFrame(address);
  frames_[static_cast<size_t>(descriptor)].setParentFrameDescriptor(parent);
  frames_[static_cast<size_t>(parent)].addChildFrameDescriptor(descriptor);
  return descriptor;
}

int QVUniqueCallFrameArchiver::_getDescriptorForAddress(uint64_t address) {
  const auto found = rootByAddress_.find(address);
  if (found != rootByAddress_.end()) {
    return found->second;
  }
  const int descriptor = _createUniqueFrame(address);
  rootByAddress_.emplace(address, descriptor);
  return descriptor;
}

int QVUniqueCallFrameArchiver::archiveCallFrames(const std::vector<uint64_t>& addresses) {
  ++stackCount_;
  if (addresses.empty()) {
    return -1;
  }
  ++nonEmptyStackCount_;
  const size_t depth = addresses.size();

  uint64_t hash = depth;
  for (uint64_t address : addresses) {
    hash = (hash ^ address) * 0x9e3779b97f4a7c15ULL;
    hash ^= hash >> 29;
  }
  const int known = _knownLeaf(addresses, hash);
  if (known >= 0) {
    // The search would have found every level: the root by address, each
    // further frame among its parent's children.
    frameVisitCount_ += depth;
    frameHitCount_ += depth - 1;
    return known;
  }

  // Levels shared with the previous stack resolve to the frames it reached:
  // every one of them was found or made by the search below, which would
  // find it again as the first child with its address.
  size_t shared = 0;
  const size_t comparable = std::min(depth, lastAddresses_.size());
  while (shared < comparable && lastAddresses_[shared] == addresses[depth - 1 - shared]) {
    ++shared;
  }
  lastAddresses_.resize(shared);
  lastDescriptors_.resize(shared);

  // Counted in locals: the compiler cannot keep members in registers
  // across the frame stores below.
  uint64_t visits = 0;
  uint64_t hits = 0;
  int current;
  if (shared > 0) {
    current = lastDescriptors_[shared - 1];
    visits += shared;
    hits += shared - 1;  // the root is looked up, not searched for
  } else {
    current = _getDescriptorForAddress(addresses.back());
    ++visits;
    lastAddresses_.push_back(addresses.back());
    lastDescriptors_.push_back(current);
    shared = 1;
  }

  for (size_t level = shared; level < depth; ++level) {
    const uint64_t address = addresses[depth - 1 - level];
    const QVUniqueCallFrame& frame = frames_[static_cast<size_t>(current)];
    int next = -1;
    for (const int *child = frame.childrenBegin(), *end = frame.childrenEnd(); child != end; ++child) {
      if (frames_[static_cast<size_t>(*child)].address() == address) {
        next = *child;
        break;
      }
    }
    if (next >= 0) {
      ++hits;
    } else {
      next = _createChildFrame(current, address);
    }
    ++visits;
    current = next;
    lastAddresses_.push_back(address);
    lastDescriptors_.push_back(current);
  }
  frameVisitCount_ += visits;
  frameHitCount_ += hits;
  leafByStackHash_[hash] = current;
  return current;
}

int QVUniqueCallFrameArchiver::_knownLeaf(const std::vector<uint64_t>& addresses, uint64_t hash) {
  const auto found = leafByStackHash_.find(hash);
  if (found == leafByStackHash_.end()) {
    return -1;
  }
  int descriptor = found->second;
  for (uint64_t address : addresses) {
    if (descriptor < 0 || static_cast<size_t>(descriptor) >= frames_.size()) {
      return -1;
    }
    const QVUniqueCallFrame& frame = frames_[static_cast<size_t>(descriptor)];
    if (frame.address() != address) {
      return -1;
    }
    descriptor = frame.parentFrameDescriptor();
  }
  // Equal addresses all the way up, and the last one must be a root.
  return descriptor == -1 ? found->second : -1;
}

void QVUniqueCallFrameArchiver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  // Read into locals so that a malformed document leaves this tree as it was.
  std::deque<QVUniqueCallFrame> frames;
  std::unordered_map<uint64_t, int> roots;
  unarchiver->enterElement("Frames");
  while (unarchiver->hasValueForKey("Frame")) {
    if (frames.size() >= static_cast<size_t>(INT32_MAX)) {
      throw QVException("too many frames in frame archiver", __LINE__, __FILE__);
    }
    QVUniqueCallFrame frame(0, this);
    unarchiver->decodeObject("Frame", frame);
    const int descriptor = static_cast<int>(frames.size());
    const int parent = frame.parentFrameDescriptor();
    // Parents are always made before their children; anything else would
    // let a walk loop or leave the tree.
    if (parent < -1 || parent >= descriptor) {
      throw QVException("frame " + std::to_string(descriptor) + " names parent descriptor " +
                            std::to_string(parent) + " which is not an earlier frame",
                        unarchiver->currentLine(), __FILE__);
    }
    frames.push_back(std::move(frame));
    if (parent == -1) {
      // A duplicate root is kept as a frame but the first one stays the
      // one new stacks continue from.
      roots.emplace(frames.back().address(), descriptor);
    } else {
      frames[static_cast<size_t>(parent)].addChildFrameDescriptor(descriptor);
    }
  }
  unarchiver->leaveElement("Frames");
  frames_.swap(frames);
  rootByAddress_.swap(roots);
  lastAddresses_.clear();
  leafByStackHash_.clear();
  lastDescriptors_.clear();
}

void QVUniqueCallFrameArchiver::getDescription(std::ostream& os) const {
  const double stackHits = stackCount_ == 0 ? 0.0 : static_cast<double>(nonEmptyStackCount_) / stackCount_ * 100.0;
  const double frameHits =
      frameVisitCount_ == 0 ? 0.0 : static_cast<double>(frameHitCount_) / frameVisitCount_ * 100.0;
  os << stackCount_ << " callstacks [" << stackHits << "% hit] " << frameVisitCount_ << " frames [" << frameHits
     << "% hit] " << frames_.size() << " unique frames";
}

const QVUniqueCallFrame* QVUniqueCallFrameArchiver::frameForDescriptor(int descriptor) const {
  if (descriptor < 0 || static_cast<size_t>(descriptor) >= frames_.size()) {
    return nullptr;
  }
  return &frames_[static_cast<size_t>(descriptor)];
}

int QVUniqueCallFrameArchiver::parentOfDescriptor(int descriptor) const {
  const QVUniqueCallFrame* frame = frameForDescriptor(descriptor);
  return frame != nullptr ? frame->parentFrameDescriptor() : -1;
}

int QVUniqueCallFrameArchiver::depthOfDescriptor(int descriptor) const {
  int depth = 0;
  for (const QVUniqueCallFrame* frame = frameForDescriptor(descriptor); frame != nullptr;
       frame = frameForDescriptor(frame->parentFrameDescriptor())) {
    ++depth;
  }
  return depth;
}

int QVUniqueCallFrameArchiver::descriptorAtPosition(int leaf, int position) const {
  if (position < 0 || frameForDescriptor(leaf) == nullptr) {
    return -1;
  }
  int descriptor = leaf;
  for (int i = 0; i < position && descriptor >= 0; ++i) {
    descriptor = parentOfDescriptor(descriptor);
  }
  return descriptor;
}

std::ostream& operator<<(std::ostream& os, const QVUniqueCallFrameArchiver& archiver) {
  archiver.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVUniqueCallFrameArchiver>& archiver) {
  if (archiver) {
    archiver->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
