#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "samples/QVAbstractThreadTenure.h"

namespace Quorvel {

// The stored form of a thread's time slice.
//
// Archive keys, in order: the QVContextTenure keys, "EndReason" (one
// character: "X", "P", "Y", "S" or "E"; an unknown character reads back as
// 0), "Priority" ("%lld").
class QVThreadTenure : public QVAbstractThreadTenure {
 public:
  // Invalid context, ticks 0, end reason 0, priority -1.
  QVThreadTenure();
  QVThreadTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick, EndReason endReason, int priority);
  ~QVThreadTenure() override;

  void setEndReason(EndReason reason) override;
  EndReason endReason() const override;
  void setPriority(int priority) override;
  int priority() const override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  EndReason endReason_;
  int32_t priority_;
};

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVThreadTenure>& tenure);

}  // namespace Quorvel
