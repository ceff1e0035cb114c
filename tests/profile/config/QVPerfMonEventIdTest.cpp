#include "config/QVPerfMonEventId.h"

#include <sstream>
#include <unordered_set>

#include <gtest/gtest.h>

#include "support/ArchiveRoundTrip.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

// Only the identifier makes an event: equality, byte-wise order and the
// hash ignore the display name and group.
TEST(QVPerfMonEventIdTest, IdentityUsesOnlyTheIdentifierTextAndArchiveKeepEveryString) {
  QVPerfMonEventId hardware("cycles", "CPU Cycles", "Hardware");
  QVPerfMonEventId renamed("cycles", "cycles", "Hardware event");
  QVPerfMonEventId other("instructions", "CPU Cycles", "Hardware");
  EXPECT_EQ(hardware, renamed);
  EXPECT_FALSE(hardware != renamed);
  EXPECT_NE(hardware, other);
  EXPECT_LT(hardware, other);
  EXPECT_FALSE(renamed < hardware);
  EXPECT_FALSE(hardware < renamed);
  EXPECT_LE(hardware, renamed);
  EXPECT_GE(hardware, renamed);
  EXPECT_GT(other, hardware);
  // 'B' (0x42) sorts before 'a' (0x61) byte-wise though not alphabetically
  // without case; a byte above 0x7f sorts after ASCII whatever the
  // signedness of char.
  EXPECT_LT(QVPerfMonEventId("B", "", ""), QVPerfMonEventId("a", "", ""));
  EXPECT_LT(QVPerfMonEventId("z", "", ""), QVPerfMonEventId("\xc3\xa9", "", ""));
  EXPECT_LT(QVPerfMonEventId("cycle", "", ""), QVPerfMonEventId("cycles", "", ""));

  std::unordered_set<QVPerfMonEventId> events{hardware, renamed, QVPerfMonEventId("branches", "Branches", "Hardware")};
  EXPECT_EQ(2u, events.size());
  EXPECT_EQ(1u, events.count(QVPerfMonEventId("cycles", "", "")));
  EXPECT_EQ(0u, events.count(other));

  // The text (with and without a group, checked in a session
  // configuration's text) also comes through shared pointers; the archive
  // keeps all three strings, markup included.
  std::ostringstream shared;
  shared << std::make_shared<QVPerfMonEventId>("x", "X", "G") << '|' << std::shared_ptr<QVPerfMonEventId>();
  EXPECT_EQ("G:X [x]|", shared.str());

  QVPerfMonEventId original("LLC-load-misses", "LLC load misses <&>", "Hardware cache event");
  std::string document = test::ArchiveToString(original, "EventId");
  EXPECT_NE(std::string::npos, document.find("<Identifier>LLC-load-misses</Identifier>")) << document;
  EXPECT_LT(document.find("<Identifier>"), document.find("<Name>"));
  EXPECT_LT(document.find("<Name>"), document.find("<Group>"));
  std::shared_ptr<QVPerfMonEventId> copy = test::UnarchiveFromString<QVPerfMonEventId>(document, "EventId");
  ASSERT_TRUE(copy);
  EXPECT_EQ(original.name(), copy->name());
  EXPECT_EQ(document, test::ArchiveToString(*copy, "EventId"));
}

}  // namespace
}  // namespace Quorvel
