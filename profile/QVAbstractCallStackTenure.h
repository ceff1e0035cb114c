#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "QVAbstractCallStack.h"
#include "QVContextTenure.h"

namespace Quorvel {

// A call-stack sample: the stack of one context, taken over a span of ticks.
// Its description is the stack's.
class QVAbstractCallStackTenure : public QVContextTenure, public virtual QVAbstractCallStack {
 public:
  QVAbstractCallStackTenure();
  QVAbstractCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick);
  ~QVAbstractCallStackTenure() override;

 protected:
  QVAbstractCallStackTenure(const QVAbstractCallStackTenure&) = default;
  QVAbstractCallStackTenure& operator=(const QVAbstractCallStackTenure&) = default;
};

std::ostream& operator<<(std::ostream& os, const QVAbstractCallStackTenure& tenure);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractCallStackTenure>& tenure);

}  // namespace Quorvel
