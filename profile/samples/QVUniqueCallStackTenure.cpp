#include "samples/QVUniqueCallStackTenure.h"

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>

#include "archive/QVArchiver.h"
#include "base/QVException.h"
#include "samples/QVUniqueCallFrameArchiver.h"

namespace Quorvel {

QVUniqueCallStackTenure::QVUniqueCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick,
                                                 const std::shared_ptr<QVUniqueCallFrameArchiver>& archiver,
                                                 int leafFrameDescriptor)
    : QVAbstractCallStackTenure(context, beginTick, endTick),
      frameArchiver_(archiver),
      leafFrameDescriptor_(leafFrameDescriptor) {}

QVUniqueCallStackTenure::~QVUniqueCallStackTenure() = default;

const QVCallFrameTree* QVUniqueCallStackTenure::sharedFrameTree(int& leafDescriptor) const {
  leafDescriptor = leafFrameDescriptor_;
  return frameArchiver_.get();
}

bool QVUniqueCallStackTenure::isLeaf(const QVAbstractCallFrame* frame) const {
  return frame != nullptr && frame == frameAtIndex(0);
}

const QVAbstractCallFrame* QVUniqueCallStackTenure::caller(const QVAbstractCallFrame* frame) const {
  const QVUniqueCallFrame* unique = dynamic_cast<const QVUniqueCallFrame*>(frame);
  if (unique == nullptr || !frameArchiver_ || unique->frameArchiver() != frameArchiver_.get()) {
    return nullptr;
  }
  return frameArchiver_->frameForDescriptor(unique->parentFrameDescriptor());
}

const QVAbstractCallFrame* QVUniqueCallStackTenure::callee(const QVAbstractCallFrame* frame) const {
  if (frame == nullptr || !frameArchiver_) {
    return nullptr;
  }
  const QVUniqueCallFrame* nearer = nullptr;
  for (const QVUniqueCallFrame* current = frameArchiver_->frameForDescriptor(leafFrameDescriptor_);
       current != nullptr; current = frameArchiver_->frameForDescriptor(current->parentFrameDescriptor())) {
    if (*current == *frame) {
      return nearer;
    }
    nearer = current;
  }
  return nullptr;
}

void QVUniqueCallStackTenure::setSymbolSource(const QVSymbolSource* /*source*/) {
  throw QVException("attempt to set QVUniqueCallStackTenure symbol source", __LINE__, __FILE__);
}

const QVSymbolSource* QVUniqueCallStackTenure::symbolSource() const {
  return frameArchiver_ ? frameArchiver_->symbolSource() : nullptr;
}

int QVUniqueCallStackTenure::size() const {
  return frameArchiver_ ? frameArchiver_->depthOfDescriptor(leafFrameDescriptor_) : 0;
}

const QVAbstractCallFrame* QVUniqueCallStackTenure::frameAtIndex(int index) const {
  if (!frameArchiver_) {
    return nullptr;
  }
  return frameArchiver_->frameForDescriptor(frameArchiver_->descriptorAtPosition(leafFrameDescriptor_, index));
}

void QVUniqueCallStackTenure::getFrames(std::vector<const QVAbstractCallFrame*>& frames) const {
  frames.clear();
  if (!frameArchiver_) {
    return;
  }
  for (const QVUniqueCallFrame* current = frameArchiver_->frameForDescriptor(leafFrameDescriptor_);
       current != nullptr; current = frameArchiver_->frameForDescriptor(current->parentFrameDescriptor())) {
    frames.push_back(current);
  }
}

void QVUniqueCallStackTenure::getFrames(std::vector<uint64_t>& addresses) const {
  addresses.clear();
  if (!frameArchiver_) {
    return;
  }
  for (const QVUniqueCallFrame* current = frameArchiver_->frameForDescriptor(leafFrameDescriptor_);
       current != nullptr; current = frameArchiver_->frameForDescriptor(current->parentFrameDescriptor())) {
    addresses.push_back(current->address());
  }
}

void QVUniqueCallStackTenure::encodeWithArchiver(QVArchiver* archiver) const {
  QVContextTenure::encodeWithArchiver(archiver);
  archiver->encodeSigned(leafFrameDescriptor_, "FramesDesc");
  if (schedulerState_ != '\0') {
    archiver->encodeString(std::string(1, schedulerState_), "SchedState");
  }
  if (cpuTimeNanos_ >= 0) {
    archiver->encodeSigned(cpuTimeNanos_, "CpuTime");
  }
}

void QVUniqueCallStackTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVContextTenure::decodeWithUnarchiver(unarchiver);
  const int64_t leaf = unarchiver->decodeSigned("FramesDesc");
  // Out-of-range values become an impossible descriptor rather than
  // wrapping onto a real one; attaching rejects them.
  leafFrameDescriptor_ = (leaf < -1 || leaf > INT32_MAX) ? INT32_MIN : static_cast<int32_t>(leaf);
  schedulerState_ = '\0';
  cpuTimeNanos_ = -1;
  if (unarchiver->hasValueForKey("SchedState")) {
    std::string state;
    unarchiver->decodeString("SchedState", state);
    // Only a single printable letter is a state; anything else is unknown.
    if (state.size() == 1 && std::isalpha(static_cast<unsigned char>(state[0]))) {
      schedulerState_ = state[0];
    }
  }
  if (unarchiver->hasValueForKey("CpuTime")) {
    const int64_t nanos = unarchiver->decodeSigned("CpuTime");
    cpuTimeNanos_ = nanos < 0 ? -1 : nanos;
  }
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVUniqueCallStackTenure>& tenure) {
  if (tenure) {
    tenure->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
