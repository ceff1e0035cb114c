#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "archive/QVArchivable.h"
#include "archive/QVArchiver.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "archivers/QVSampleIdentifiers.h"
#include "data/QVPropertyMap.h"
#include "ids/QVContext.h"
#include "ids/QVFileId.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ids/QVThreadId.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"
#include "symbols/QVSymbolId.h"

namespace Quorvel {

// One kind of recorded samples with the span they cover: wall-clock begin
// and end, the ticks of both, free-form properties, and the sample archiver
// that creates, holds and writes the samples. S is the shared pointer of the
// sample type, A the shared pointer of its archiver.
//
// Archive keys, in order: "StartTime", "EndTime" (times), "StartTimeStamp",
// "EndTimeStamp" (ticks, "0x%llx"), "Properties" (object), then the samples
// under the key the concrete kind chooses (_encodeSamples and
// _decodeSamples). A missing samples element leaves the archiver empty.
//
// Tick and time conversions map a tick offset from beginTick onto seconds
// from beginTime linearly; while either duration is zero (or a time is not
// a date-time) they have no meaning and answer 0.
template <class S, class A>
class QVSessionData : public QVArchivable, public QVUnarchivable {
 public:
  using SamplePointer = S;
  using ArchiverPointer = A;
  using SampleVector = std::vector<S>;

  QVSessionData() = default;
  explicit QVSessionData(const A& samples) : samples_(samples) {}
  ~QVSessionData() override = default;
  QVSessionData(const QVSessionData&) = delete;
  QVSessionData& operator=(const QVSessionData&) = delete;

  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeTime(beginTime_, "StartTime");
    archiver->encodeTime(endTime_, "EndTime");
    archiver->encodeUnsigned(beginTick_, "StartTimeStamp");
    archiver->encodeUnsigned(endTick_, "EndTimeStamp");
    archiver->encodeObject(properties_, "Properties");
    if (samples_) {
      _encodeSamples(archiver);
    }
  }

  virtual void setBeginTime(const boost::posix_time::ptime& time) { beginTime_ = time; }
  virtual boost::posix_time::ptime beginTime() const { return beginTime_; }
  virtual void setEndTime(const boost::posix_time::ptime& time) { endTime_ = time; }
  virtual boost::posix_time::ptime endTime() const { return endTime_; }
  virtual void setBeginTick(uint64_t tick) { beginTick_ = tick; }
  virtual uint64_t beginTick() const { return beginTick_; }
  virtual void setEndTick(uint64_t tick) { endTick_ = tick; }
  virtual uint64_t endTick() const { return endTick_; }
  virtual const QVPropertyMap& properties() const { return properties_; }
  virtual QVPropertyMap& mutableProperties() { return properties_; }

  virtual uint64_t durationTicks() const { return endTick() - beginTick(); }

  // Seconds, with the fraction at the clock's resolution.
  virtual double durationTime() const {
    const boost::posix_time::ptime begin = beginTime();
    const boost::posix_time::ptime end = endTime();
    if (begin.is_special() || end.is_special()) {
      return 0.0;
    }
    const boost::posix_time::time_duration span = end - begin;
    return static_cast<double>(span.total_seconds()) +
           static_cast<double>(span.fractional_seconds()) /
               static_cast<double>(boost::posix_time::time_duration::ticks_per_second());
  }

  virtual double timeForTick(uint64_t tick) const {
    const uint64_t ticks = durationTicks();
    if (ticks == 0) {
      return 0.0;
    }
    return static_cast<double>(tick) / static_cast<double>(ticks) * durationTime();
  }

  virtual uint64_t tickForTime(double seconds) const {
    const double time = durationTime();
    if (time == 0.0) {
      return 0;
    }
    const double tick = seconds / time * static_cast<double>(durationTicks());
    // Converting a negative, infinite or out-of-range double is undefined;
    // the whole unsigned range converts exactly.
    if (!(tick > 0.0)) {
      return 0;
    }
    if (tick >= 18446744073709551616.0) {
      return std::numeric_limits<uint64_t>::max();
    }
    return static_cast<uint64_t>(tick);
  }

  virtual size_t size() const { return samples_ ? samples_->size() : 0; }

  // The archiver's samples in the order archived (empty without one).
  virtual const SampleVector& samples() const {
    static const SampleVector kNone;
    return samples_ ? samples_->samples() : kNone;
  }

  virtual void getIdentifiers(QVSampleIdentifiers& ids) const {
    if (samples_) {
      samples_->getIdentifiers(ids);
    }
  }

  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override {
    unarchiver->decodeTime("StartTime", beginTime_);
    unarchiver->decodeTime("EndTime", endTime_);
    beginTick_ = unarchiver->decodeUnsigned("StartTimeStamp");
    endTick_ = unarchiver->decodeUnsigned("EndTimeStamp");
    unarchiver->decodeObject("Properties", properties_);
    _decodeSamples(unarchiver);
  }

  // The archiver itself; null until one is given or decoded.
  const A& archiver() const { return samples_; }
  void setArchiver(const A& samples) { samples_ = samples; }

  int getCurrentMajorVersion() const override { return 1; }
  int getCurrentMinorVersion() const override { return 0; }

 protected:
  // Writes the archiver (never null here) under the kind's key.
  virtual void _encodeSamples(QVArchiver* archiver) const = 0;
  // Reads the samples element when present, replacing the archiver.
  virtual void _decodeSamples(QVUnarchiver* unarchiver) = 0;

  A samples_;

 private:
  boost::posix_time::ptime beginTime_;
  boost::posix_time::ptime endTime_;
  uint64_t beginTick_ = 0;
  uint64_t endTick_ = 0;
  QVPropertyMap properties_;
};

}  // namespace Quorvel
