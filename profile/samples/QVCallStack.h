#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "samples/QVAbstractCallStack.h"
#include "samples/QVCallFrame.h"

namespace Quorvel {

class QVArchiver;
class QVUnarchiver;

// A call stack that owns its addresses: address i belongs to frame i, 0 the
// innermost. What debuggers unwind into and what plain sample archives hold.
// Frames refer back to the stack, so a stack is not copyable; copy its
// content with setFrames(other).
//
// Archive key: "Frames", the addresses in index order as one string, each
// "0x" + lower-case hexadecimal (0 as "0"), separated by single blanks.
// Reading splits at white space and parses each piece with base detection;
// a piece that is not a number reads as 0.
class QVCallStack : public virtual QVAbstractCallStack {
 public:
  QVCallStack();
  ~QVCallStack() override;
  QVCallStack(const QVCallStack&) = delete;
  QVCallStack& operator=(const QVCallStack&) = delete;

  // A frame of another stack is never a leaf, caller or callee here.
  bool isLeaf(const QVAbstractCallFrame* frame) const override;
  const QVAbstractCallFrame* caller(const QVAbstractCallFrame* frame) const override;
  const QVAbstractCallFrame* callee(const QVAbstractCallFrame* frame) const override;
  void setSymbolSource(const QVSymbolSource* source) override;
  const QVSymbolSource* symbolSource() const override;
  int size() const override;
  const QVAbstractCallFrame* frameAtIndex(int index) const override;
  void getFrames(std::vector<const QVAbstractCallFrame*>& frames) const override;
  void getFrames(std::vector<uint64_t>& addresses) const override;

  virtual const std::vector<uint64_t>& addresses() const;
  // Each replaces the whole content with the given addresses, in order.
  virtual void setFrames(const std::shared_ptr<QVAbstractCallStack>& stack);
  virtual void setFrames(const uint64_t* addresses, int count);
  virtual void setFrames(const std::vector<uint64_t>& addresses);
  // Appends an outer frame.
  virtual void addFrame(const uint64_t& address);
  virtual void encodeWithArchiver(QVArchiver* archiver) const;
  virtual void decodeWithUnarchiver(QVUnarchiver* unarchiver);

  // The "Frames" text of the addresses, and its inverse.
  static std::string framesText(const std::vector<uint64_t>& addresses);
  static void parseFramesText(const std::string& text, std::vector<uint64_t>& addresses);

 protected:
  // The frame's index when it is one of this stack's frames, else -1.
  int _indexOfFrame(const QVAbstractCallFrame* frame) const;

  std::vector<uint64_t> addresses_;
  std::vector<QVCallFrame> frames_;
  // Mutable: a tenure resolves its default source on first demand.
  mutable const QVSymbolSource* symbolSource_;
};

}  // namespace Quorvel
