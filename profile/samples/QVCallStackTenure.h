#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "samples/QVAbstractCallStackTenure.h"
#include "samples/QVCallStack.h"

namespace Quorvel {

// A call-stack sample that owns its addresses. Without an explicit symbol
// source it resolves through the sampled process (user mode) or the kernel
// of the sampled system (any other mode), looked up on first demand and
// kept. Concurrent first lookups on one object must be serialised by the
// caller.
//
// Archive keys, in order: the QVContextTenure keys, then "Frames".
class QVCallStackTenure : public QVCallStack, public QVAbstractCallStackTenure {
 public:
  QVCallStackTenure();
  QVCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick);
  ~QVCallStackTenure() override;

  // The stored source, else the process or kernel of the context; null
  // (and logged) when neither is registered, in which case the next call
  // looks again.
  const QVSymbolSource* symbolSource() const override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVCallStackTenure>& tenure);

}  // namespace Quorvel
