#include <gtest/gtest.h>

#include <limits>
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

TEST(QVTextReaderLines, SplitsOnNewlineAndKeepsAnUnterminatedLastLine) {
  EXPECT_EQ(allLines("a\nb\n"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(allLines("a\nb"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(allLines("\n\nx"), (std::vector<std::string>{"", "", "x"}));
  EXPECT_TRUE(allLines("").empty());
}

TEST(QVTextReaderLines, EndStaysEndAfterRepeatedReads) {
  QVTextReader reader("only");
  EXPECT_EQ(reader.nextLine(), std::string_view("only"));
  EXPECT_TRUE(reader.atEnd());
  EXPECT_FALSE(reader.nextLine().has_value());
  EXPECT_FALSE(reader.nextField().has_value());
  EXPECT_FALSE(reader.nextUnsigned().has_value());
  EXPECT_EQ(reader.restOfLine(), std::string_view());
}

TEST(QVTextReaderFields, FieldsStopAtTheEndOfTheLine) {
  // A /proc/stat excerpt: a short line must not borrow fields from the next.
  QVTextReader reader("ctxt 379864\nbtime 1796497790\n");
  EXPECT_EQ(reader.nextField(), std::string_view("ctxt"));
  EXPECT_EQ(reader.nextUnsigned(), 379864u);
  EXPECT_FALSE(reader.nextField().has_value());
  EXPECT_TRUE(reader.atEndOfLine());
  reader.skipLine();
  EXPECT_EQ(reader.nextField(), std::string_view("btime"));
  EXPECT_EQ(reader.nextUnsigned(), 1796497790u);
}

TEST(QVTextReaderFields, TabsAndRunsOfBlanksSeparateFields) {
  QVTextReader reader("Uid:\t0\t0   0\t 0");
  EXPECT_EQ(reader.nextField(), std::string_view("Uid:"));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(reader.nextUnsigned(), 0u) << i;
  }
  EXPECT_TRUE(reader.atEndOfLine());
}

TEST(QVTextReaderFields, OnlyBlanksHoldNoField) {
  QVTextReader reader(" \t  \n");
  EXPECT_FALSE(reader.nextField().has_value());
  EXPECT_TRUE(reader.atEndOfLine());
  EXPECT_EQ(reader.restOfLine(), std::string_view());
  EXPECT_TRUE(reader.atEnd());
}

TEST(QVTextReaderFields, RestOfLineIsTrimmedAndMovesToTheNextLine) {
  QVTextReader reader("7f00-7f01 r-xp 0 fe:00 1      /tmp/a b c (deleted)  \nnext");
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(reader.nextField().has_value());
  }
  EXPECT_EQ(reader.restOfLine(), std::string_view("/tmp/a b c (deleted)"));
  EXPECT_EQ(reader.nextField(), std::string_view("next"));
}

TEST(QVTextReaderFields, SkipLiteralMatchesOnlyAtTheCursor) {
  QVTextReader reader("  Live 0x10");
  EXPECT_FALSE(reader.skipLiteral("0x"));
  EXPECT_TRUE(reader.skipLiteral("Live"));
  EXPECT_EQ(reader.nextHex(), 0x10u);
}

TEST(QVTextReaderNumbers, UnsignedLimitsAndOverflow) {
  // 18446744073709551615 is 2^64-1, which the kernel prints in stat's
  // rsslim column; one more must be rejected, not wrapped.
  EXPECT_EQ(QVTextReader::parseUnsigned("18446744073709551615"), std::numeric_limits<uint64_t>::max());
  EXPECT_FALSE(QVTextReader::parseUnsigned("18446744073709551616").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned("99999999999999999999999999").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned("-1").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned("+1").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned("").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned("12kB").has_value());
  EXPECT_FALSE(QVTextReader::parseUnsigned(" 12").has_value());
  EXPECT_EQ(QVTextReader::parseUnsigned("0"), 0u);
}

TEST(QVTextReaderNumbers, SignedLimitsAndOverflow) {
  EXPECT_EQ(QVTextReader::parseSigned("-1"), -1);
  EXPECT_EQ(QVTextReader::parseSigned("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(QVTextReader::parseSigned("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(QVTextReader::parseSigned("9223372036854775808").has_value());
  EXPECT_FALSE(QVTextReader::parseSigned("-").has_value());
  EXPECT_FALSE(QVTextReader::parseSigned("1-").has_value());
}

TEST(QVTextReaderNumbers, HexWithAndWithoutPrefix) {
  EXPECT_EQ(QVTextReader::parseHex("ffffffff81000000"), 0xffffffff81000000u);
  EXPECT_EQ(QVTextReader::parseHex("0xffffffffc0ab0000"), 0xffffffffc0ab0000u);
  EXPECT_EQ(QVTextReader::parseHex("0XAB"), 0xabu);
  EXPECT_FALSE(QVTextReader::parseHex("0x").has_value());
  EXPECT_FALSE(QVTextReader::parseHex("0x-1").has_value());
  EXPECT_FALSE(QVTextReader::parseHex("1ffffffffffffffff").has_value());
  EXPECT_FALSE(QVTextReader::parseHex("fg").has_value());
}

TEST(QVTextReaderNumbers, DoubleNeedsTheWholeField) {
  EXPECT_DOUBLE_EQ(*QVTextReader::parseDouble("0.25"), 0.25);
  EXPECT_FALSE(QVTextReader::parseDouble("0.25s").has_value());
  EXPECT_FALSE(QVTextReader::parseDouble("").has_value());
}

TEST(QVTextReaderNumbers, FailedReadLeavesTheCursorInPlace) {
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

TEST(QVTextReaderBounds, ViewsIntoALargerBufferNeverReadPastTheirEnd) {
  // The reader is given only the first line of a buffer; digits right after
  // the view's end must not be taken as part of its last number.
  const std::string buffer = "size 12345678";
  QVTextReader reader(std::string_view(buffer).substr(0, 7));
  EXPECT_EQ(reader.nextField(), std::string_view("size"));
  EXPECT_EQ(reader.nextUnsigned(), 12u);
  EXPECT_TRUE(reader.atEnd());
}

TEST(QVTextReaderBounds, EmbeddedNulIsAnOrdinaryCharacter) {
  const std::string text("a\0b 5\n", 6);
  QVTextReader reader(text);
  EXPECT_EQ(reader.nextField(), std::string_view("a\0b", 3));
  EXPECT_EQ(reader.nextUnsigned(), 5u);
}

TEST(QVTextReaderTrim, RemovesBlanksAndNewlinesOnly) {
  EXPECT_EQ(QVTextReader::trim(" \t x y \n"), std::string_view("x y"));
  EXPECT_EQ(QVTextReader::trim("   "), std::string_view());
  EXPECT_EQ(QVTextReader::trim(""), std::string_view());
}
