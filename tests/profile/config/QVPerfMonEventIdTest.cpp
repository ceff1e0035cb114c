#include "config/QVPerfMonEventId.h"

#include <set>
#include <sstream>
#include <unordered_set>

#include <gtest/gtest.h>

#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

TEST(QVPerfMonEventIdIdentity, EqualityAndOrderingUseOnlyTheIdentifier) {
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
}

TEST(QVPerfMonEventIdIdentity, OrderingIsByteWise) {
  // 'B' (0x42) sorts before 'a' (0x61) byte-wise though not alphabetically
  // without case; a byte above 0x7f sorts after ASCII whatever the
  // signedness of char.
  EXPECT_LT(QVPerfMonEventId("B", "", ""), QVPerfMonEventId("a", "", ""));
  EXPECT_LT(QVPerfMonEventId("z", "", ""), QVPerfMonEventId("\xc3\xa9", "", ""));
  EXPECT_LT(QVPerfMonEventId("cycle", "", ""), QVPerfMonEventId("cycles", "", ""));
}

TEST(QVPerfMonEventIdHash, UnorderedSetKeepsOneEntryPerIdentifier) {
  std::unordered_set<QVPerfMonEventId> events;
  events.insert(QVPerfMonEventId("cycles", "Cycles", "Hardware"));
  events.insert(QVPerfMonEventId("cycles", "cpu-cycles", "Hardware event"));
  events.insert(QVPerfMonEventId("branches", "Branches", "Hardware"));
  EXPECT_EQ(2u, events.size());
  EXPECT_EQ(1u, events.count(QVPerfMonEventId("cycles", "", "")));
  EXPECT_EQ(0u, events.count(QVPerfMonEventId("instructions", "", "")));
}

TEST(QVPerfMonEventIdDescription, ShowsGroupOnlyWhenPresent) {
  std::ostringstream withGroup;
  withGroup << QVPerfMonEventId("cycles", "CPU Cycles", "Hardware");
  EXPECT_EQ("Hardware:CPU Cycles [cycles]", withGroup.str());

  std::ostringstream withoutGroup;
  withoutGroup << QVPerfMonEventId("cycles", "CPU Cycles", "");
  EXPECT_EQ("CPU Cycles [cycles]", withoutGroup.str());

  std::ostringstream shared;
  shared << std::make_shared<QVPerfMonEventId>("x", "X", "G") << '|' << std::shared_ptr<QVPerfMonEventId>();
  EXPECT_EQ("G:X [x]|", shared.str());
}

TEST(QVPerfMonEventIdArchive, RoundTripKeepsAllThreeStrings) {
  QVPerfMonEventId original("LLC-load-misses", "LLC load misses <&>", "Hardware cache event");
  std::string document = test::ArchiveToString(original, "EventId");
  EXPECT_NE(std::string::npos, document.find("<Identifier>LLC-load-misses</Identifier>")) << document;
  EXPECT_LT(document.find("<Identifier>"), document.find("<Name>"));
  EXPECT_LT(document.find("<Name>"), document.find("<Group>"));

  std::shared_ptr<QVPerfMonEventId> copy = test::UnarchiveFromString<QVPerfMonEventId>(document, "EventId");
  ASSERT_TRUE(copy);
  EXPECT_EQ(original.identifier(), copy->identifier());
  EXPECT_EQ(original.name(), copy->name());
  EXPECT_EQ(original.group(), copy->group());
}

TEST(QVPerfMonEventIdGeneric, FiveDistinctEventsAndAnEmptyNull) {
  EXPECT_TRUE(EVENT_ID_NULL.empty());
  std::set<QVPerfMonEventId> generic{EVENT_ID_CPU_CYCLES, EVENT_ID_CPU_INSTRUCTIONS_COMPLETED,
                                     EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES, EVENT_ID_CPU_BRANCH_INSTRUCTIONS,
                                     EVENT_ID_CPU_BRANCH_MISPREDICTS};
  EXPECT_EQ(5u, generic.size());
  for (const QVPerfMonEventId& id : generic) {
    EXPECT_FALSE(id.empty());
    EXPECT_FALSE(id.name().empty()) << id.identifier();
    EXPECT_NE(EVENT_ID_NULL, id);
  }
}

}  // namespace
}  // namespace Quorvel
