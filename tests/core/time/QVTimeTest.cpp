#include "time/QVTime.h"

#include <time.h>

#include <chrono>
#include <thread>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "time/QVStopwatch.h"

namespace Quorvel {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

TEST(QVTimeTest, TimeNanosFollowsTheMonotonicClockAndUniversalTimeTheWallClock) {
  const uint64_t first = TimeNanos();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const uint64_t second = TimeNanos();
  EXPECT_GE(second - first, 5000000u);
  // Same clock as CLOCK_MONOTONIC, so the two readings bracket it.
  struct timespec now;
  ASSERT_EQ(::clock_gettime(CLOCK_MONOTONIC, &now), 0);
  const uint64_t direct = static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + now.tv_nsec;
  EXPECT_LE(second, direct);
  EXPECT_LE(direct, TimeNanos());

  struct timespec before;
  ::clock_gettime(CLOCK_REALTIME, &before);
  const uint64_t nanos = UniversalTimeToNanos(CurrentUniversalTime());
  const uint64_t beforeNanos = static_cast<uint64_t>(before.tv_sec) * 1000000000ULL + before.tv_nsec;
  // Microsecond precision: compare at that granularity, within a second.
  EXPECT_GE(nanos + 1000, beforeNanos);
  EXPECT_LT(nanos - beforeNanos, 1000000000u);
  EXPECT_EQ(nanos % 1000, 0u);
}

TEST(QVTimeTest, ConvertsBetweenNanosAndPtime) {
  EXPECT_EQ(NanosToUniversalTime(0), time_from_string("1970-01-01 00:00:00"));
  // 2011-03-13 07:06:40 UTC is 1300000000 s after the epoch.
  EXPECT_EQ(NanosToUniversalTime(1300000000ULL * 1000000000ULL + 123456789),
            time_from_string("2011-03-13 07:06:40.123456"));
  EXPECT_EQ(UniversalTimeToNanos(time_from_string("2011-03-13 07:06:40.123456")),
            1300000000ULL * 1000000000ULL + 123456000);
  const uint64_t sample = 1796497790123456000ULL;
  EXPECT_EQ(UniversalTimeToNanos(NanosToUniversalTime(sample)), sample);
  EXPECT_EQ(UniversalTimeToNanos(time_from_string("1969-12-31 23:59:59")), 0u);
  EXPECT_EQ(UniversalTimeToNanos(ptime(boost::posix_time::not_a_date_time)), 0u);
  EXPECT_FALSE(NanosToUniversalTime(UINT64_MAX).is_special());
}

TEST(QVStopwatchTest, MeasuresElapsedSeconds) {
  QVStopwatch watch;
  EXPECT_EQ(watch.elapsed(), 0.0);
  watch.start();
  EXPECT_TRUE(watch.isRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  watch.stop();
  EXPECT_FALSE(watch.isRunning());
  const double elapsed = watch.elapsed();
  EXPECT_GE(elapsed, 0.020);
  EXPECT_LT(elapsed, 5.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(watch.elapsed(), elapsed) << "stopped means frozen";
  watch.stop();
  EXPECT_EQ(watch.elapsed(), elapsed) << "a second stop changes nothing";
}

}  // namespace
}  // namespace Quorvel
