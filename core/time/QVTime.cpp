#include "time/QVTime.h"

#include <time.h>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace Quorvel {

namespace {
const boost::posix_time::ptime& epoch() {
  static const boost::posix_time::ptime value(boost::gregorian::date(1970, 1, 1));
  return value;
}
}  // namespace

uint64_t TimeNanos() {
  struct timespec now;
  // CLOCK_MONOTONIC cannot fail on Linux with a valid pointer.
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

boost::posix_time::ptime CurrentUniversalTime() { return boost::posix_time::microsec_clock::universal_time(); }

boost::posix_time::ptime NanosToUniversalTime(uint64_t nanosSinceEpoch) {
  // Split into seconds and microseconds so that the full uint64 range fits
  // the 32-bit-safe seconds() and microseconds() constructors.
  const uint64_t seconds = nanosSinceEpoch / 1000000000ULL;
  const uint64_t micros = (nanosSinceEpoch % 1000000000ULL) / 1000ULL;
  return epoch() + boost::posix_time::seconds(static_cast<long>(seconds)) +
         boost::posix_time::microseconds(static_cast<int64_t>(micros));
}

uint64_t UniversalTimeToNanos(const boost::posix_time::ptime& time) {
  if (time.is_special() || time < epoch()) {
    return 0;
  }
  const boost::posix_time::time_duration since = time - epoch();
  return static_cast<uint64_t>(since.total_microseconds()) * 1000ULL;
}

}  // namespace Quorvel
