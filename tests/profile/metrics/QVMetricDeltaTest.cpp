#include <gtest/gtest.h>

#include <cstdint>

#include "metrics/QVMetricDelta.h"

using namespace Quorvel;

TEST(QVMetricDelta, CounterChangesIncludingWraps) {
  struct Case {
    uint64_t previous, current, change;
  };
  const Case cases[] = {
      {100, 150, 50},
      {0xFFFFFFF0u, 0x10u, 0x20u},                 // a 32-bit counter wrapped
      {0xFFFFFFFFFFFFFFF0ull, 0x10u, 0x20u},       // a 64-bit counter wrapped
      {5, 5, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVMetricDelta::counterChange(c.previous, c.current), c.change) << c.previous;
  }
}

TEST(QVMetricDelta, ViewsOfKnownSnapshots) {
  const QVMetricInfo time(QVMetricInfo::SYSTEM, "t", "CPU", "T", "", QVMetricInfo::TIME);
  const QVMetricInfo count(QVMetricInfo::SYSTEM, "c", "CPU", "C", "", QVMetricInfo::COUNT);
  const QVMetricInfo used(QVMetricInfo::SYSTEM, "m", "Memory", "M", "", QVMetricInfo::BYTES);
  QVPropertyMap before, after;
  before.setFloat("t", 10.0);
  after.setFloat("t", 12.0);
  before.setUnsigned("c", 1000);
  after.setUnsigned("c", 1500);
  before.setUnsigned("m", 4096);
  after.setUnsigned("m", 1024);

  // 2 s of processor time over 1 s on 4 processors is half the machine.
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(time, QVMetricInfo::DELTA_PERCENT_TIME, &before, after, 1.0, 4.0), 50.0);
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(time, QVMetricInfo::DELTA_VALUE, &before, after, 1.0), 2.0);
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(time, QVMetricInfo::VALUE, nullptr, after, 0.0), 12.0);
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(count, QVMetricInfo::DELTA_VALUE, &before, after, 2.0), 500.0);
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(used, QVMetricInfo::DELTA_VALUE, &before, after, 1.0), -3072.0)
      << "memory in use is a gauge and may fall";
  EXPECT_DOUBLE_EQ(*QVMetricDelta::view(time, QVMetricInfo::DELTA_VALUE, &after, before, 1.0), 0.0)
      << "a reset time gives no change";
  EXPECT_FALSE(QVMetricDelta::view(count, QVMetricInfo::DELTA_VALUE, nullptr, after, 1.0)) << "no earlier pass";
  EXPECT_FALSE(QVMetricDelta::view(count, QVMetricInfo::DELTA_VALUE, &before, after, 0.0)) << "no elapsed time";
  EXPECT_FALSE(QVMetricDelta::view(count, QVMetricInfo::VALUE, &before, QVPropertyMap(), 1.0)) << "metric missing";
}
