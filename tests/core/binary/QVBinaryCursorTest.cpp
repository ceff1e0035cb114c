#include "binary/QVBinaryCursor.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace Quorvel;

namespace {

TEST(QVBinaryCursorTest, RangesAreCheckedWithoutOverflowAndFailedReadsLeaveThePositionAlone) {
  struct Case {
    std::uint64_t offset, length, size;
    bool fits;
  };
  const Case cases[] = {
      {0, 0, 0, true},          {0, 8, 8, true},       {8, 0, 8, true},     {9, 0, 8, false},
      {1, 8, 8, false},         {~0ull, 2, 16, false},  // would wrap to 1
      {4, ~0ull - 3, 16, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QVBinaryCursor::rangeFits(c.offset, c.length, c.size), c.fits) << c.offset << "+" << c.length;

  const std::uint8_t bytes[] = {1, 0, 0, 0, 2, 0, 0, 0, 3};
  QVBinaryCursor cursor(bytes, sizeof(bytes));
  std::uint32_t word = 0;
  ASSERT_TRUE(cursor.read(word));
  EXPECT_EQ(word, 1u);
  std::uint64_t wide = 0;
  EXPECT_FALSE(cursor.read(wide));  // 5 bytes left
  EXPECT_EQ(cursor.offset(), 4u);
  QVBinaryCursor window;
  EXPECT_FALSE(cursor.take(6, window));
  ASSERT_TRUE(cursor.take(4, window));
  ASSERT_TRUE(window.read(word));
  EXPECT_EQ(word, 2u);
  EXPECT_TRUE(window.atEnd());
  EXPECT_FALSE(cursor.skip(2));
  EXPECT_TRUE(cursor.skip(1));
  EXPECT_TRUE(cursor.atEnd());
  EXPECT_FALSE(cursor.seek(10));
  std::uint8_t last = 0;
  EXPECT_TRUE(cursor.readAt(8, last));
  EXPECT_EQ(last, 3);
  EXPECT_FALSE(cursor.readAt(9, last));
}

}  // namespace
