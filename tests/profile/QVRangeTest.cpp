#include <climits>
#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "QVArchiver.h"
#include "QVRange.h"
#include "QVUnarchiver.h"

namespace Quorvel {
namespace {

using AddressRange = QVRange<unsigned long>;
using OffsetRange = QVRange<int>;
using FileRange = QVRange<long>;

TEST(QVRangeContains, HalfOpenBounds) {
  const AddressRange range(0x1000, 0x1000);
  EXPECT_FALSE(range.contains(0xfff));
  EXPECT_TRUE(range.contains(0x1000));
  EXPECT_TRUE(range.contains(0x1fff));
  EXPECT_FALSE(range.contains(0x2000));
  EXPECT_EQ(0x2000ul, range.end());
}

TEST(QVRangeContains, ZeroLengthContainsNothing) {
  EXPECT_FALSE(AddressRange(0x1000, 0).contains(0x1000));
  EXPECT_FALSE(AddressRange::EMPTY_RANGE.contains(0));
  EXPECT_FALSE(OffsetRange::EMPTY_RANGE.contains(0));
}

// The top page of the address space ends exactly at 2^64, which wraps to 0;
// containment goes through the difference to the location, so it still works.
TEST(QVRangeContains, RangeEndingAtTopOfAddressSpace) {
  const AddressRange top(0xfffffffffffff000ul, 0x1000);
  EXPECT_TRUE(top.contains(0xfffffffffffffffful));
  EXPECT_TRUE(top.contains(0xfffffffffffff000ul));
  EXPECT_FALSE(top.contains(0xffffffffffffefffl));
}

TEST(QVRangeContains, SignedKeys) {
  const OffsetRange range(-10, 20);
  EXPECT_FALSE(range.contains(-11));
  EXPECT_TRUE(range.contains(-10));
  EXPECT_TRUE(range.contains(9));
  EXPECT_FALSE(range.contains(10));
  // x - location exceeds INT_MAX here; a signed subtraction would overflow.
  const OffsetRange wide(INT_MIN, INT_MAX);
  EXPECT_TRUE(wide.contains(-2));
  EXPECT_FALSE(wide.contains(-1));
  EXPECT_FALSE(OffsetRange(5, -3).contains(4));
  EXPECT_FALSE(OffsetRange(5, -3).contains(5));
}

TEST(QVRangeOverlaps, AdjacentRangesDoNotOverlap) {
  const AddressRange a(0x1000, 0x1000);
  const AddressRange b(0x2000, 0x1000);
  EXPECT_FALSE(a.overlaps(b));
  EXPECT_FALSE(b.overlaps(a));
}

TEST(QVRangeOverlaps, SharedUnitOverlapsBothWays) {
  const AddressRange a(0x1000, 0x1001);
  const AddressRange b(0x2000, 0x1000);
  EXPECT_TRUE(a.overlaps(b));
  EXPECT_TRUE(b.overlaps(a));
}

TEST(QVRangeOverlaps, NestedAndIdentical) {
  const AddressRange outer(0x1000, 0x3000);
  const AddressRange inner(0x1800, 0x800);
  EXPECT_TRUE(outer.overlaps(inner));
  EXPECT_TRUE(inner.overlaps(outer));
  EXPECT_TRUE(outer.overlaps(outer));
}

TEST(QVRangeOverlaps, ZeroLengthNeverOverlaps) {
  const AddressRange outer(0x1000, 0x3000);
  const AddressRange point(0x1800, 0);
  EXPECT_FALSE(outer.overlaps(point));
  EXPECT_FALSE(point.overlaps(outer));
  EXPECT_FALSE(point.overlaps(point));
}

TEST(QVRangeOverlaps, SignedRangesAcrossZero) {
  EXPECT_TRUE(OffsetRange(-5, 6).overlaps(OffsetRange(0, 1)));
  EXPECT_FALSE(OffsetRange(-5, 5).overlaps(OffsetRange(0, 1)));
  EXPECT_TRUE(OffsetRange(INT_MIN, INT_MAX).overlaps(OffsetRange(-2, 1)));
  EXPECT_FALSE(OffsetRange(3, -2).overlaps(OffsetRange(0, 10)));
}

TEST(QVRangeOrdering, LocationThenLength) {
  EXPECT_TRUE(AddressRange(1, 9) < AddressRange(2, 1));
  EXPECT_TRUE(AddressRange(2, 1) < AddressRange(2, 3));
  EXPECT_FALSE(AddressRange(2, 3) < AddressRange(2, 3));
  EXPECT_EQ(AddressRange(2, 3), AddressRange(2, 3));
  EXPECT_NE(AddressRange(2, 3), AddressRange(2, 4));
  EXPECT_TRUE(OffsetRange(-3, 1) < OffsetRange(0, 1));
}

TEST(QVRangeDescription, HexadecimalHalfOpen) {
  std::ostringstream os;
  os << AddressRange(0x1000, 0x2000) << " " << 42;
  EXPECT_EQ("[0x1000, 0x3000) 42", os.str());  // the stream's decimal base survives
}

std::string Archive(const QVArchivable& object) {
  std::ostringstream os;
  std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(os);
  archiver->encodeObject(object, "Range");
  archiver->finish();
  return os.str();
}

template <class T>
QVRange<T> Unarchive(const std::string& text) {
  std::istringstream is(text);
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(is);
  QVRange<T> range(1, 1);
  unarchiver->decodeObject("Range", range);
  return range;
}

TEST(QVRangeArchiving, UnsignedRoundTripAsHexText) {
  const AddressRange range(0x7f12a0000000ul, 0x21000);
  const std::string text = Archive(range);
  EXPECT_NE(std::string::npos, text.find("0x7f12a0000000")) << text;
  EXPECT_NE(std::string::npos, text.find("0x21000")) << text;
  EXPECT_LT(text.find("Loc"), text.find("Len")) << text;
  EXPECT_EQ(range, Unarchive<unsigned long>(text));
}

TEST(QVRangeArchiving, FullWidthUnsignedValuesSurvive) {
  const AddressRange range(0xffffffffff600000ul, 0xfffffffffffffffful);
  EXPECT_EQ(range, Unarchive<unsigned long>(Archive(range)));
}

TEST(QVRangeArchiving, SignedRoundTripAsDecimalText) {
  const OffsetRange range(-4096, 77);
  const std::string text = Archive(range);
  EXPECT_NE(std::string::npos, text.find("-4096")) << text;
  EXPECT_EQ(range, Unarchive<int>(text));
  const FileRange fileRange(0x123456789al, 0x1000);
  const std::string fileText = Archive(fileRange);
  EXPECT_NE(std::string::npos, fileText.find("78187493530")) << fileText;
  EXPECT_EQ(fileRange, Unarchive<long>(fileText));
}

// Writes the two keys with arbitrary text, as an older or hand-made document
// might hold them.
class RawRange : public QVArchivable {
 public:
  RawRange(std::string location, std::string length) : location_(std::move(location)), length_(std::move(length)) {}
  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeString(location_, "Loc");
    archiver->encodeString(length_, "Len");
  }

 private:
  std::string location_;
  std::string length_;
};

TEST(QVRangeArchiving, DecodingDetectsTheBase) {
  EXPECT_EQ(AddressRange(4096, 8), Unarchive<unsigned long>(Archive(RawRange("4096", "010"))));
  EXPECT_EQ(OffsetRange(16, -8), Unarchive<int>(Archive(RawRange("0x10", "-010"))));
}

TEST(QVRangeArchiving, NonNumbersReadAsZero) {
  EXPECT_EQ(AddressRange(0, 0x10), Unarchive<unsigned long>(Archive(RawRange("text", "0x10"))));
  EXPECT_EQ(OffsetRange(0, 0), Unarchive<int>(Archive(RawRange("", "12abc"))));
}

// Signed text is read as 64 bits and narrowed to the field, as documented.
TEST(QVRangeArchiving, SignedTextNarrowsToTheField) {
  EXPECT_EQ(OffsetRange(1, 2), Unarchive<int>(Archive(RawRange("4294967297", "2"))));
}

TEST(QVRangeArchiving, MissingKeyIsAStructuralError) {
  class OnlyLocation : public QVArchivable {
   public:
    void encodeWithArchiver(QVArchiver* archiver) const override { archiver->encodeString("0x1", "Loc"); }
  };
  EXPECT_THROW(Unarchive<unsigned long>(Archive(OnlyLocation())), QVException);
}

}  // namespace
}  // namespace Quorvel
