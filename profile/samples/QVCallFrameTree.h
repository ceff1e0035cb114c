#pragma once

namespace Quorvel {

class QVAbstractCallFrame;
class QVSymbolSource;

// Frames shared by many call stacks: each frame is numbered by a descriptor
// and names the descriptor of its caller, so a stack is named by the
// descriptor of its innermost frame. Readers of samples walk stacks through
// this interface whatever format recorded them.
class QVCallFrameTree {
 public:
  virtual ~QVCallFrameTree() = default;

  // Descriptors outside 0..frameCount()-1 name nothing.
  virtual int frameCount() const = 0;
  // nullptr for a descriptor that names nothing.
  virtual const QVAbstractCallFrame* frameAtDescriptor(int descriptor) const = 0;
  // The caller's descriptor, -1 for an outermost frame or a descriptor that
  // names nothing.
  virtual int parentOfDescriptor(int descriptor) const = 0;
  // What every frame of the tree resolves its section and symbol through.
  virtual const QVSymbolSource* symbolSource() const = 0;
};

}  // namespace Quorvel
