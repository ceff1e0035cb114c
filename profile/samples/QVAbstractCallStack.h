#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

namespace Quorvel {

class QVAbstractCallFrame;
class QVSymbolSource;

// A sampled call stack: frames by position, position 0 being the innermost
// frame (the one sampled) and size()-1 the outermost caller. Frames resolve
// their addresses through the stack's symbol source.
//
// Frame pointers handed out stay valid while the stack is not changed.
// Two stacks are equal when they have the same size and their frames have
// equal addresses at every position.
class QVAbstractCallStack {
 public:
  virtual ~QVAbstractCallStack();

  // Whether the frame is the innermost one.
  virtual bool isLeaf(const QVAbstractCallFrame* frame) const = 0;
  // The frame one position further out, or null at the outermost frame.
  virtual const QVAbstractCallFrame* caller(const QVAbstractCallFrame* frame) const = 0;
  // The frame one position further in, or null at the leaf.
  virtual const QVAbstractCallFrame* callee(const QVAbstractCallFrame* frame) const = 0;
  virtual void setSymbolSource(const QVSymbolSource* source) = 0;
  // Null when unknown.
  virtual const QVSymbolSource* symbolSource() const = 0;
  virtual int size() const = 0;
  // The frame at the position; callers keep the index within 0..size()-1.
  virtual const QVAbstractCallFrame* frameAtIndex(int index) const = 0;
  // Clears `frames` and fills it in position order.
  virtual void getFrames(std::vector<const QVAbstractCallFrame*>& frames) const = 0;
  // Replaces `addresses` with the frames' addresses in position order.
  virtual void getFrames(std::vector<uint64_t>& addresses) const = 0;
  // One line a frame, innermost first: 2*i blanks, "[", size-1-i right
  // aligned to the digits of size, "] ", the frame's stream output. The
  // outermost frame is numbered 0.
  virtual void getDescription(std::ostream& os) const;

  bool operator==(const QVAbstractCallStack& other) const;
  bool operator!=(const QVAbstractCallStack& other) const { return !(*this == other); }

 protected:
  QVAbstractCallStack() = default;
  QVAbstractCallStack(const QVAbstractCallStack&) = default;
  QVAbstractCallStack& operator=(const QVAbstractCallStack&) = default;
};

std::ostream& operator<<(std::ostream& os, const QVAbstractCallStack& stack);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractCallStack>& stack);

}  // namespace Quorvel
