#pragma once

#include <cstdint>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "ranges/QVRange.h"

namespace Quorvel {

// Something that held a processor context for a span of ticks (nanoseconds
// of the recorder's clock). Every record a recording produces is one.
//
// Archive keys, in order: "TimeStamp" (beginTick, "0x%llx"), "EndTimeStamp"
// (endTick, "0x%llx").
class QVTenure : public QVArchivable, public QVUnarchivable {
 public:
  QVTenure();
  QVTenure(uint64_t beginTick, uint64_t endTick);
  ~QVTenure() override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Every tenure weighs 1.0; setting a weight has no effect.
  virtual double weight() const;
  virtual void setWeight(double weight);
  virtual void setBeginTick(const uint64_t& tick);
  virtual uint64_t beginTick() const;
  virtual void setEndTick(const uint64_t& tick);
  virtual uint64_t endTick() const;
  // Location beginTick, length endTick - beginTick.
  virtual QVRange<uint64_t> tickRange() const;
  // Moves both ticks by delta.
  virtual void offsetTicks(uint64_t delta);
  // endTick() - beginTick(), through the virtual getters.
  virtual uint64_t durationTicks() const;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 protected:
  QVTenure(const QVTenure&) = default;
  QVTenure& operator=(const QVTenure&) = default;

  uint64_t beginTick_;
  uint64_t endTick_;
};

}  // namespace Quorvel
