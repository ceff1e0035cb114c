#include "support/TestCallFrame.h"

#include "samples/QVSymbolSource.h"

namespace Quorvel {
namespace test {

namespace {
template <class T>
const std::shared_ptr<T>& Empty() {
  static const std::shared_ptr<T> empty;
  return empty;
}
}  // namespace

TestCallFrame::TestCallFrame(uint64_t address, const QVSymbolSource* source) : address_(address), source_(source) {}

const std::shared_ptr<QVSymbol>& TestCallFrame::symbol(QVRange<uint64_t>& range) const {
  if (source_ == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return Empty<QVSymbol>();
  }
  return source_->symbolForCallFrame(*this, range);
}

const std::shared_ptr<QVSection>& TestCallFrame::section(QVRange<uint64_t>& range) const {
  if (source_ == nullptr) {
    range = QVRange<uint64_t>::EMPTY_RANGE;
    return Empty<QVSection>();
  }
  return source_->sectionForCallFrame(*this, range);
}

const std::shared_ptr<QVModule>& TestCallFrame::module() const { return Empty<QVModule>(); }

QVFileId TestCallFrame::sourceLocation(int& /*line*/) const { return QVFileId::invalid(); }

}  // namespace test
}  // namespace Quorvel
