#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "proc/QVTextReader.h"

using Quorvel::QVTextReader;

namespace {

std::vector<std::string> allLines(std::string_view text) {
  QVTextReader reader(text);
  std::vector<std::string> lines;
  std::string_view line;
  while (reader.nextLine(line)) {
    lines.emplace_back(line);
  }
  return lines;
}

}  // namespace

TEST(QVTextReaderLines, SplitsOnNewlineKeepsAnUnterminatedLastLineAndStaysAtTheEnd) {
  EXPECT_EQ(allLines("a\nb\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(allLines("a\nb"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(allLines("\n\nx"), (std::vector<std::string>{"", "", "x"}));
  EXPECT_TRUE(allLines("").empty());
  // The end stays the end after repeated reads.
  QVTextReader reader("only");
  EXPECT_EQ(reader.nextLine(), std::string_view("only"));
  EXPECT_TRUE(reader.atEnd());
  EXPECT_FALSE(reader.nextLine().has_value());
  EXPECT_FALSE(reader.nextField().has_value());
  EXPECT_FALSE(reader.nextUnsigned().has_value());
  EXPECT_EQ(reader.restOfLine(), std::string_view());
}

TEST(QVTextReaderFields, FieldsStopAtTheEndOfTheLineSplitAtBlanksAndLiteralsMatchAtTheCursor) {
  // A /proc/stat excerpt: a short line must not borrow fields from the next.
  QVTextReader reader("ctxt 379864\nbtime 1796497790\n");
  EXPECT_EQ(reader.nextField(), std::string_view("ctxt"));
  EXPECT_EQ(reader.nextUnsigned(), 379864u);
  EXPECT_FALSE(reader.nextField().has_value());
  EXPECT_TRUE(reader.atEndOfLine());
  reader.skipLine();
  EXPECT_EQ(reader.nextField(), std::string_view("btime"));
  EXPECT_EQ(reader.nextUnsigned(), 1796497790u);

  // Tabs and runs of blanks separate fields.
  QVTextReader uid("Uid:\t0\t0   0\t 0");
  EXPECT_EQ(uid.nextField(), std::string_view("Uid:"));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(uid.nextUnsigned(), 0u) << i;
  }
  EXPECT_TRUE(uid.atEndOfLine());
  // Only blanks hold no field.
  QVTextReader blanks(" \t  \n");
  EXPECT_FALSE(blanks.nextField().has_value());
  EXPECT_TRUE(blanks.atEndOfLine());
  EXPECT_EQ(blanks.restOfLine(), std::string_view());
  EXPECT_TRUE(blanks.atEnd());

  // The rest of a line is trimmed, and reading it moves on.
  QVTextReader maps("7f00-7f01 r-xp 0 fe:00 1      /tmp/a b c (deleted)  \nnext");
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(maps.nextField().has_value());
  }
  EXPECT_EQ(maps.restOfLine(), std::string_view("/tmp/a b c (deleted)"));
  EXPECT_EQ(maps.nextField(), std::string_view("next"));
  // A literal matches only at the cursor.
  QVTextReader live("  Live 0x10");
  EXPECT_FALSE(live.skipLiteral("0x"));
  EXPECT_TRUE(live.skipLiteral("Live"));
  EXPECT_EQ(live.nextHex(), 0x10u);
}

// Each parser takes a whole field and nothing that does not fit 64 bits:
// 18446744073709551615 is 2^64-1, which the kernel prints in stat's rsslim
// column; one more must be rejected, not wrapped.
TEST(QVTextReaderNumbers, WholeFieldsWithinLimitsAndAFailedReadLeavesTheCursorInPlace) {
  const std::pair<const char*, std::optional<uint64_t>> unsignedCases[] = {
      {"18446744073709551615", std::numeric_limits<uint64_t>::max()}, {"18446744073709551616", {}},
      {"99999999999999999999999999", {}}, {"-1", {}}, {"+1", {}}, {"", {}}, {"12kB", {}}, {" 12", {}}, {"0", 0}};
  for (const auto& c : unsignedCases) EXPECT_EQ(QVTextReader::parseUnsigned(c.first), c.second) << c.first;
  const std::pair<const char*, std::optional<int64_t>> signedCases[] = {
      {"-1", -1}, {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()}, {"9223372036854775808", {}}, {"-", {}},
      {"1-", {}}};
  for (const auto& c : signedCases) EXPECT_EQ(QVTextReader::parseSigned(c.first), c.second) << c.first;
  const std::pair<const char*, std::optional<uint64_t>> hexCases[] = {
      {"ffffffff81000000", 0xffffffff81000000}, {"0xffffffffc0ab0000", 0xffffffffc0ab0000}, {"0XAB", 0xab},
      {"0x", {}}, {"0x-1", {}}, {"1ffffffffffffffff", {}}, {"fg", {}}};
  for (const auto& c : hexCases) EXPECT_EQ(QVTextReader::parseHex(c.first), c.second) << c.first;
  EXPECT_EQ(QVTextReader::parseDouble("0.25"), 0.25);
  EXPECT_FALSE(QVTextReader::parseDouble("0.25s").has_value());
  EXPECT_FALSE(QVTextReader::parseDouble("").has_value());

  // A failed read leaves the cursor in place.
  QVTextReader reader("abc 12");
  EXPECT_FALSE(reader.nextUnsigned().has_value());
  EXPECT_FALSE(reader.nextSigned().has_value());
  // "abc" is hexadecimal, so this read succeeds from the untouched cursor.
  EXPECT_EQ(reader.nextHex(), 0xabcu);
  EXPECT_EQ(reader.nextUnsigned(), 12u);
  QVTextReader again("xyz 12");
  EXPECT_FALSE(again.nextDouble().has_value());
  EXPECT_EQ(again.nextField(), std::string_view("xyz"));
  EXPECT_EQ(again.nextUnsigned(), 12u);
}

TEST(QVTextReaderBounds, ViewsNeverReadPastTheirEndNulIsOrdinaryAndTrimTakesBlanksOnly) {
  // The reader is given only the first line of a buffer; digits right after
  // the view's end must not be taken as part of its last number.
  const std::string buffer = "size 12345678";
  QVTextReader reader(std::string_view(buffer).substr(0, 7));
  EXPECT_EQ(reader.nextField(), std::string_view("size"));
  EXPECT_EQ(reader.nextUnsigned(), 12u);
  EXPECT_TRUE(reader.atEnd());
  // An embedded NUL is an ordinary character.
  const std::string text("a\0b 5\n", 6);
  QVTextReader nul(text);
  EXPECT_EQ(nul.nextField(), std::string_view("a\0b", 3));
  EXPECT_EQ(nul.nextUnsigned(), 5u);
  // Trimming removes blanks and newlines only.
  EXPECT_EQ(QVTextReader::trim(" \t x y \n"), std::string_view("x y"));
  EXPECT_EQ(QVTextReader::trim("   "), std::string_view());
  EXPECT_EQ(QVTextReader::trim(""), std::string_view());
}
