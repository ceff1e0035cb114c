#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Quorvel {

// Monotonic nanoseconds (CLOCK_MONOTONIC): the tick of every recording.
// Unaffected by changes of the wall clock; meaningful only as differences
// and as comparisons between ticks of this boot.
uint64_t TimeNanos();

// The wall clock in UTC with microsecond precision.
boost::posix_time::ptime CurrentUniversalTime();

// Between nanoseconds since the Unix epoch (UTC) and ptime. ptime holds
// microseconds, so NanosToUniversalTime truncates to the microsecond below.
// A ptime before the epoch or not a date-time gives 0.
boost::posix_time::ptime NanosToUniversalTime(uint64_t nanosSinceEpoch);
uint64_t UniversalTimeToNanos(const boost::posix_time::ptime& time);

}  // namespace Quorvel
