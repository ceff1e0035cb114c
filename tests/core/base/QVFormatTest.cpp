#include "base/QVFormat.h"

#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace Quorvel {
namespace {

TEST(QVFormatTest, TimePicksTheUnitThatReadsNaturallyRoundsUpAndStaysSaneWhenAbsurd) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0 seconds"},       {5e-9, "5 ns"},           {1.5e-9, "1.5 ns"},          {999e-9, "999 ns"},
      {1e-6, "1 us"},           {2.25e-6, "2.25 us"},     {0.001, "1 ms"},
      {0.0123456, "12.346 ms"},  // three decimals, rounded
      {0.5, "500 ms"},          {1.0, "1 second"},        {2.5, "2.5 seconds"},        {59.25, "59.25 seconds"},
      {60.0, "1 min 0 sec"},    {90.0, "1 min 30 sec"},   {125.5, "2 min 5.5 sec"},    {3600.0, "1 hr 0 min"},
      {5430.0, "1 hr 31 min"},  // 90.5 minutes rounds up
      {90000.0, "25 hr 0 min"}, {-2.5, "-2.5 seconds"},
      // Rounding never shows a whole step of the smaller unit.
      {999.9996e-9, "1 us"},    {0.9999996, "1 second"},  {59.9996, "1 min 0 sec"},    {3599.9996, "1 hr 0 min"},
      // Archived intervals are doubles from the file: 1e308 once printed as
      // "-153722867280912 min" through an overflowing integer conversion.
      {1e308, "2.78e+304 hr"},  {-1e308, "-2.78e+304 hr"}, {1e15, "2.78e+11 hr"},     {9.99e14, "277500000000 hr 0 min"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatTimeSeconds(c.first), c.second) << c.first;
  }
}

TEST(QVFormatTest, SizesUseBinaryUnitsFrequenciesDecimalOnesWithOneDecimalUnlessWhole) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 bytes"}, {1023, "1023 bytes"}, {1024, "1 KB"}, {1536, "1.5 KB"},
      {1024 * 1024 - 1, "1 MB"},  // 1023.999 KB rounds to a whole MB
      {5ULL * 1024 * 1024 + 104858, "5.1 MB"}, {3ULL << 30, "3 GB"}, {(1ULL << 40) + (1ULL << 39), "1.5 TB"},
      {2048ULL << 40, "2048 TB"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatSizeBytes(c.first), c.second) << c.first;
  }

  const std::pair<uint64_t, const char*> frequencies[] = {
      {0, "0 Hz"},           {999, "999 Hz"},           {1000, "1 KHz"},
      {1500, "1.5 KHz"},     {2400000000, "2.4 GHz"},   {800000000, "800 MHz"},
      {3333333333, "3.333 GHz"}, {999999999, "1 GHz"},  {1234567, "1.235 MHz"},
  };
  for (const auto& c : frequencies) {
    EXPECT_EQ(FormatFrequencyHz(c.first), c.second) << c.first;
  }
}

TEST(QVFormatTest, HeaderUnderlinesTheTitle) {
  EXPECT_EQ(FormatHeader("Session", '='), "Session\n=======\n");
  EXPECT_EQ(FormatHeader("", '-'), "\n\n");
}

}  // namespace
}  // namespace Quorvel
