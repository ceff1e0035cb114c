#include "samples/QVCallStack.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVCallStack::QVCallStack() : symbolSource_(nullptr) {}

QVCallStack::~QVCallStack() = default;

int QVCallStack::_indexOfFrame(const QVAbstractCallFrame* frame) const {
  const QVCallFrame* callFrame = dynamic_cast<const QVCallFrame*>(frame);
  if (callFrame == nullptr || &callFrame->callStack() != this || callFrame->index() < 0 ||
      callFrame->index() >= size()) {
    return -1;
  }
  return callFrame->index();
}

bool QVCallStack::isLeaf(const QVAbstractCallFrame* frame) const { return _indexOfFrame(frame) == 0; }

const QVAbstractCallFrame* QVCallStack::caller(const QVAbstractCallFrame* frame) const {
  const int index = _indexOfFrame(frame);
  if (index < 0 || index + 1 >= size()) {
    return nullptr;
  }
  return &frames_[static_cast<size_t>(index + 1)];
}

const QVAbstractCallFrame* QVCallStack::callee(const QVAbstractCallFrame* frame) const {
  const int index = _indexOfFrame(frame);
  if (index <= 0) {
    return nullptr;
  }
  return &frames_[static_cast<size_t>(index - 1)];
}

void QVCallStack::setSymbolSource(const QVSymbolSource* source) { symbolSource_ = source; }

const QVSymbolSource* QVCallStack::symbolSource() const { return symbolSource_; }

int QVCallStack::size() const { return static_cast<int>(frames_.size()); }

const QVAbstractCallFrame* QVCallStack::frameAtIndex(int index) const {
  if (index < 0 || index >= size()) {
    return nullptr;
  }
  return &frames_[static_cast<size_t>(index)];
}

void QVCallStack::getFrames(std::vector<const QVAbstractCallFrame*>& frames) const {
  frames.clear();
  frames.reserve(frames_.size());
  for (const QVCallFrame& frame : frames_) {
    frames.push_back(&frame);
  }
}

void QVCallStack::getFrames(std::vector<uint64_t>& addresses) const { addresses = addresses_; }

const std::vector<uint64_t>& QVCallStack::addresses() const { return addresses_; }

void QVCallStack::setFrames(const std::shared_ptr<QVAbstractCallStack>& stack) {
  std::vector<uint64_t> addresses;
  if (stack) {
    stack->getFrames(addresses);
  }
  setFrames(addresses);
}

void QVCallStack::setFrames(const uint64_t* addresses, int count) {
  frames_.clear();
  addresses_.clear();
  if (addresses == nullptr || count <= 0) {
    return;
  }
  addresses_.reserve(static_cast<size_t>(count));
  frames_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    addFrame(addresses[i]);
  }
}

void QVCallStack::setFrames(const std::vector<uint64_t>& addresses) {
  // Copied first: the argument may be this stack's own address vector.
  const std::vector<uint64_t> copy(addresses);
  setFrames(copy.data(), static_cast<int>(copy.size()));
}

void QVCallStack::addFrame(const uint64_t& address) {
  addresses_.push_back(address);
  frames_.emplace_back(*this, static_cast<int>(frames_.size()));
}

std::string QVCallStack::framesText(const std::vector<uint64_t>& addresses) {
  std::string text;
  text.reserve(addresses.size() * 15);
  char buffer[24];
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0) {
      text += ' ';
    }
    // "%#" writes 0 without a prefix, as readers of older files expect.
    std::snprintf(buffer, sizeof(buffer), "%#" PRIx64, addresses[i]);
    text += buffer;
  }
  return text;
}

void QVCallStack::parseFramesText(const std::string& text, std::vector<uint64_t>& addresses) {
  addresses.clear();
  std::istringstream stream(text);
  std::string piece;
  while (stream >> piece) {
    addresses.push_back(ParseArchivedUnsigned(piece));
  }
}

void QVCallStack::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(framesText(addresses_), "Frames");
}

void QVCallStack::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::string text;
  unarchiver->decodeString("Frames", text);
  std::vector<uint64_t> addresses;
  parseFramesText(text, addresses);
  setFrames(addresses);
}

}  // namespace Quorvel
