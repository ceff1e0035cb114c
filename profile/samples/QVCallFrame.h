#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {

class QVCallStack;

// A frame of a QVCallStack: a position in that stack. The address and the
// symbol source are the stack's, so a frame costs a pointer and an index.
// Frames are made only by their stack and live as long as it holds them.
class QVCallFrame : public QVAbstractCallFrame {
 public:
  QVCallFrame(const QVCallStack& stack, int index);
  ~QVCallFrame() override;
  QVCallFrame(const QVCallFrame&) = delete;
  QVCallFrame& operator=(const QVCallFrame&) = delete;
  // Movable only so that the stack's frame vector can grow.
  QVCallFrame(QVCallFrame&& other) noexcept;

  // The stack's address at this frame's index.
  uint64_t address() const override;
  // Every frame but the stack's first (innermost).
  bool isCaller() const override { return index_ > 0; }
  const std::shared_ptr<QVSymbol>& symbol(QVRange<uint64_t>& range) const override;
  const std::shared_ptr<QVSection>& section(QVRange<uint64_t>& range) const override;
  const std::shared_ptr<QVModule>& module() const override;
  QVFileId sourceLocation(int& line) const override;

  const QVCallStack& callStack() const { return stack_; }
  int index() const { return index_; }

 private:
  const QVCallStack& stack_;
  int index_;
};

std::ostream& operator<<(std::ostream& os, const QVCallFrame& frame);

}  // namespace Quorvel
