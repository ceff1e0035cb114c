#include "data/QVPropertyMap.h"

#include <cstdint>
#include <limits>
#include <string>
#include <sstream>

#include <gtest/gtest.h>

#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

TEST(QVPropertyMapTest, TypedSettersStoreTheArchiveNumberTextAndKeysAreReplacedOrRemoved) {
  QVPropertyMap map;
  map.setUnsigned("buffer", 0x100000);
  map.setUnsigned("max", std::numeric_limits<uint64_t>::max());
  map.setSigned("offset", -42);
  map.setSigned("min", std::numeric_limits<int64_t>::min());
  map.setFloat("ratio", 2.5);
  map.setFloat("third", 1.0 / 3.0);

  EXPECT_EQ(map.stringValue("buffer"), "0x100000");
  EXPECT_EQ(map.stringValue("max"), "0xffffffffffffffff");
  EXPECT_EQ(map.stringValue("offset"), "-42");
  EXPECT_EQ(map.stringValue("min"), "-9223372036854775808");
  EXPECT_EQ(map.stringValue("ratio"), "2.5000000000");
  EXPECT_EQ(map.stringValue("third"), "0.3333333333");

  EXPECT_EQ(map.unsignedValue("max"), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(map.signedValue("offset"), -42);
  EXPECT_EQ(map.signedValue("min"), std::numeric_limits<int64_t>::min());
  EXPECT_DOUBLE_EQ(map.floatValue("ratio"), 2.5);

  // Getters read text as the archive does (its parsing is tested with the
  // archiver); a missing key reads as zero or empty.
  map.setString("octal", "010");
  EXPECT_EQ(map.unsignedValue("octal"), 8u);
  EXPECT_EQ(map.unsignedValue("missing"), 0u);
  EXPECT_EQ(map.signedValue("missing"), 0);
  EXPECT_EQ(map.floatValue("missing"), 0.0);
  EXPECT_EQ(map.stringValue("missing"), "");
  EXPECT_FALSE(map.hasKey("missing"));

  // Setting a key again replaces its value; removing tells whether it was
  // there. Order, size and equality are the underlying map's.
  map.setString("octal", "0x10");
  EXPECT_EQ(map.unsignedValue("octal"), 16u);
  EXPECT_TRUE(map.remove("octal"));
  EXPECT_FALSE(map.remove("octal"));
  EXPECT_FALSE(map.hasKey("octal"));
}

TEST(QVPropertyMapTest, ArchiveRoundTripKeepsEveryEntryExactlyAndReplacesContents) {
  QVPropertyMap map;
  map.setUnsigned("profile_cpu_buffer_size", 0x80000);
  map.setSigned("delta", -7);
  map.setFloat("rate", 0.125);
  map.setString("notes", "line one\nline <two> & \"three\"\ttab\r\x01");
  map.setString("", "empty key");
  map.setString("empty value", "");

  const std::string document = test::ArchiveToString(map, "Properties");
  EXPECT_NE(document.find("<Property><Key>delta</Key><Value>-7</Value></Property>"), std::string::npos) << document;

  std::shared_ptr<QVPropertyMap> decoded = test::UnarchiveFromString<QVPropertyMap>(document, "Properties");
  EXPECT_EQ(*decoded, map);
  EXPECT_EQ(decoded->unsignedValue("profile_cpu_buffer_size"), 0x80000u);

  // An empty map round-trips, and decoding replaces what was there.
  const QVPropertyMap empty;
  const std::string nothing = test::ArchiveToString(empty, "Properties");
  EXPECT_EQ(nothing.find("<Property>"), std::string::npos);
  EXPECT_TRUE(test::UnarchiveFromString<QVPropertyMap>(nothing, "Properties")->empty());

  QVPropertyMap source;
  source.setString("kept", "1");
  std::istringstream stream(test::ArchiveToString(source, "Properties"));
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(stream);
  QVPropertyMap target;
  target.setString("stale", "x");
  unarchiver->decodeObject("Properties", target);
  EXPECT_EQ(target, source);
}

}  // namespace
}  // namespace Quorvel
