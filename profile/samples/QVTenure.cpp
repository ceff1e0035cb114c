#include "samples/QVTenure.h"

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

QVTenure::QVTenure() : beginTick_(0), endTick_(0) {}

QVTenure::QVTenure(uint64_t beginTick, uint64_t endTick) : beginTick_(beginTick), endTick_(endTick) {}

QVTenure::~QVTenure() = default;

void QVTenure::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeUnsigned(beginTick_, "TimeStamp");
  archiver->encodeUnsigned(endTick_, "EndTimeStamp");
}

double QVTenure::weight() const { return 1.0; }

// Samples are counted, not weighed; the setter exists for callers that
// treat tenures generically.
void QVTenure::setWeight(double /*weight*/) {}

void QVTenure::setBeginTick(const uint64_t& tick) { beginTick_ = tick; }

uint64_t QVTenure::beginTick() const { return beginTick_; }

void QVTenure::setEndTick(const uint64_t& tick) { endTick_ = tick; }

uint64_t QVTenure::endTick() const { return endTick_; }

QVRange<uint64_t> QVTenure::tickRange() const { return QVRange<uint64_t>(beginTick(), endTick() - beginTick()); }

void QVTenure::offsetTicks(uint64_t delta) {
  beginTick_ += delta;
  endTick_ += delta;
}

uint64_t QVTenure::durationTicks() const { return endTick() - beginTick(); }

void QVTenure::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  beginTick_ = unarchiver->decodeUnsigned("TimeStamp");
  endTick_ = unarchiver->decodeUnsigned("EndTimeStamp");
}

}  // namespace Quorvel
