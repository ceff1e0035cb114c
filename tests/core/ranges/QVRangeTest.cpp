#include <climits>
#include <cstdint>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "ranges/QVRange.h"
#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

using AddressRange = QVRange<unsigned long>;
using OffsetRange = QVRange<int>;
using FileRange = QVRange<long>;

TEST(QVRangeTest, ContainsIsHalfOpenAndSafeAtTheEdgesOfTheKeyTypeAndOverlapNeedsASharedUnit) {
  const AddressRange range(0x1000, 0x1000);
  EXPECT_EQ(0x2000ul, range.end());
  // The top page of the address space ends exactly at 2^64, which wraps to
  // 0; containment goes through the difference to the location. For int
  // keys, x - location can exceed INT_MAX, where a signed subtraction
  // would overflow.
  const struct {
    bool contained;
    bool expected;
  } cases[] = {
      {range.contains(0xfff), false},
      {range.contains(0x1000), true},
      {range.contains(0x1fff), true},
      {range.contains(0x2000), false},
      {AddressRange(0x1000, 0).contains(0x1000), false},
      {AddressRange::EMPTY_RANGE.contains(0), false},
      {OffsetRange::EMPTY_RANGE.contains(0), false},
      {AddressRange(0xfffffffffffff000ul, 0x1000).contains(0xfffffffffffffffful), true},
      {AddressRange(0xfffffffffffff000ul, 0x1000).contains(0xfffffffffffff000ul), true},
      {AddressRange(0xfffffffffffff000ul, 0x1000).contains(0xffffffffffffefffl), false},
      {OffsetRange(-10, 20).contains(-11), false},
      {OffsetRange(-10, 20).contains(-10), true},
      {OffsetRange(-10, 20).contains(9), true},
      {OffsetRange(-10, 20).contains(10), false},
      {OffsetRange(INT_MIN, INT_MAX).contains(-2), true},
      {OffsetRange(INT_MIN, INT_MAX).contains(-1), false},
      {OffsetRange(5, -3).contains(4), false},
      {OffsetRange(5, -3).contains(5), false},
  };
  int row = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, c.contained) << "row " << row++;
  }

  // Overlap needs a shared unit, either way round.
  const struct {
    AddressRange a;
    AddressRange b;
    bool expected;
  } overlapCases[] = {
      {AddressRange(0x1000, 0x1000), AddressRange(0x2000, 0x1000), false},  // adjacent
      {AddressRange(0x1000, 0x1001), AddressRange(0x2000, 0x1000), true},   // one shared unit
      {AddressRange(0x1000, 0x3000), AddressRange(0x1800, 0x800), true},    // nested
      {AddressRange(0x1000, 0x3000), AddressRange(0x1000, 0x3000), true},   // identical
      {AddressRange(0x1000, 0x3000), AddressRange(0x1800, 0), false},       // zero length
      {AddressRange(0x1800, 0), AddressRange(0x1800, 0), false},
  };
  for (const auto& c : overlapCases) {
    EXPECT_EQ(c.expected, c.a.overlaps(c.b)) << c.a << " " << c.b;
    EXPECT_EQ(c.expected, c.b.overlaps(c.a)) << c.b << " " << c.a;
  }
  EXPECT_TRUE(OffsetRange(-5, 6).overlaps(OffsetRange(0, 1)));
  EXPECT_FALSE(OffsetRange(-5, 5).overlaps(OffsetRange(0, 1)));
  EXPECT_TRUE(OffsetRange(INT_MIN, INT_MAX).overlaps(OffsetRange(-2, 1)));
  EXPECT_FALSE(OffsetRange(3, -2).overlaps(OffsetRange(0, 10)));
}

TEST(QVRangeTest, OrderedByLocationThenLengthAndPrintedHalfOpenInHex) {
  EXPECT_TRUE(AddressRange(1, 9) < AddressRange(2, 1));
  EXPECT_TRUE(AddressRange(2, 1) < AddressRange(2, 3));
  EXPECT_FALSE(AddressRange(2, 3) < AddressRange(2, 3));
  EXPECT_EQ(AddressRange(2, 3), AddressRange(2, 3));
  EXPECT_NE(AddressRange(2, 3), AddressRange(2, 4));
  EXPECT_TRUE(OffsetRange(-3, 1) < OffsetRange(0, 1));
  std::ostringstream os;
  os << AddressRange(0x1000, 0x2000) << " " << 42;
  EXPECT_EQ("[0x1000, 0x3000) 42", os.str());  // the stream's decimal base survives
}

template <class T>
QVRange<T> Unarchive(const std::string& text) {
  std::istringstream is(text);
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(is);
  QVRange<T> range(1, 1);
  unarchiver->decodeObject("Range", range);
  return range;
}

TEST(QVRangeTest, ArchivedUnsignedAsHexAndSignedAsDecimalText) {
  const AddressRange range(0x7f12a0000000ul, 0x21000);
  const std::string text = test::ArchiveToString(range, "Range");
  EXPECT_NE(std::string::npos, text.find("0x7f12a0000000")) << text;
  EXPECT_NE(std::string::npos, text.find("0x21000")) << text;
  EXPECT_LT(text.find("Loc"), text.find("Len")) << text;
  EXPECT_EQ(range, Unarchive<unsigned long>(text));
  const AddressRange full(0xffffffffff600000ul, 0xfffffffffffffffful);
  EXPECT_EQ(full, Unarchive<unsigned long>(test::ArchiveToString(full, "Range")));

  const OffsetRange offsets(-4096, 77);
  const std::string signedText = test::ArchiveToString(offsets, "Range");
  EXPECT_NE(std::string::npos, signedText.find("-4096")) << signedText;
  EXPECT_EQ(offsets, Unarchive<int>(signedText));
  const FileRange fileRange(0x123456789al, 0x1000);
  const std::string fileText = test::ArchiveToString(fileRange, "Range");
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
    if (!length_.empty()) {
      archiver->encodeString(length_, "Len");
    }
  }

 private:
  std::string location_;
  std::string length_;
};

std::string Raw(const std::string& location, const std::string& length) {
  return test::ArchiveToString(RawRange(location, length), "Range");
}

TEST(QVRangeTest, DecodingDetectsTheBaseReadsNonNumbersAsZeroAndNeedsBothKeys) {
  EXPECT_EQ(AddressRange(4096, 8), Unarchive<unsigned long>(Raw("4096", "010")));
  EXPECT_EQ(OffsetRange(16, -8), Unarchive<int>(Raw("0x10", "-010")));
  EXPECT_EQ(AddressRange(0, 0x10), Unarchive<unsigned long>(Raw("text", "0x10")));
  EXPECT_EQ(OffsetRange(0, 0), Unarchive<int>(Raw("", "12abc")));
  // Signed text is read as 64 bits and narrowed to the field, as documented.
  EXPECT_EQ(OffsetRange(1, 2), Unarchive<int>(Raw("4294967297", "2")));
  EXPECT_THROW(Unarchive<unsigned long>(Raw("0x1", "")), QVException) << "a missing key is a structural error";
}

}  // namespace
}  // namespace Quorvel
