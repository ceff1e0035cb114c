#pragma once

#include <cstdint>
#include <memory>

#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {

class QVSymbolSource;

namespace test {

// A frame that is nothing but an address, resolved (when given one)
// through a symbol source the way a sampled stack's frames are.
class TestCallFrame : public QVAbstractCallFrame {
 public:
  explicit TestCallFrame(uint64_t address, const QVSymbolSource* source = nullptr);

  uint64_t address() const override { return address_; }
  const std::shared_ptr<QVSymbol>& symbol(QVRange<uint64_t>& range) const override;
  const std::shared_ptr<QVSection>& section(QVRange<uint64_t>& range) const override;
  // Frames of these tests are never asked for modules or source lines.
  const std::shared_ptr<QVModule>& module() const override;
  QVFileId sourceLocation(int& line) const override;

 private:
  uint64_t address_;
  const QVSymbolSource* source_;
};

}  // namespace test
}  // namespace Quorvel
