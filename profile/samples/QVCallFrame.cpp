#include "samples/QVCallFrame.h"

#include <ostream>

#include "samples/QVCallStack.h"

namespace Quorvel {

QVCallFrame::QVCallFrame(const QVCallStack& stack, int index) : stack_(stack), index_(index) {}

QVCallFrame::QVCallFrame(QVCallFrame&& other) noexcept
    : QVAbstractCallFrame(other), stack_(other.stack_), index_(other.index_) {}

QVCallFrame::~QVCallFrame() = default;

uint64_t QVCallFrame::address() const { return stack_.addresses()[static_cast<size_t>(index_)]; }

const std::shared_ptr<QVSymbol>& QVCallFrame::symbol(QVRange<uint64_t>& range) const {
  return _symbolFromSource(stack_.symbolSource(), range);
}

const std::shared_ptr<QVSection>& QVCallFrame::section(QVRange<uint64_t>& range) const {
  return _sectionFromSource(stack_.symbolSource(), range);
}

const std::shared_ptr<QVModule>& QVCallFrame::module() const { return _moduleFromSource(stack_.symbolSource()); }

QVFileId QVCallFrame::sourceLocation(int& line) const { return _sourceLocationFromSource(stack_.symbolSource(), line); }

std::ostream& operator<<(std::ostream& os, const QVCallFrame& frame) {
  frame.getDefaultDescription(os);
  return os;
}

}  // namespace Quorvel
