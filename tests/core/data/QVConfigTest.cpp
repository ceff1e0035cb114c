#include "data/QVConfig.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "archive/QVUnarchiver.h"
#include "support/ArchiveRoundTrip.h"

namespace Quorvel {

template <>
struct QVUnarchiverFactory<QVConfig> {
  static std::shared_ptr<QVConfig> create() { return std::make_shared<QVConfig>("", ""); }
};

namespace {

TEST(QVConfigTest, NameAndDescriptionRoundTripOnlyTheNameIsRequired) {
  const QVConfig config("Hot spots", "Timer sampling of every process <1 ms> & \"more\"");
  const std::string document = test::ArchiveToString(config, "Config");
  EXPECT_NE(document.find("<Name>Hot spots</Name>"), std::string::npos) << document;
  std::shared_ptr<QVConfig> decoded = test::UnarchiveFromString<QVConfig>(document, "Config");
  EXPECT_EQ(decoded->name(), config.name());
  EXPECT_EQ(decoded->description(), config.description());

  // A missing description reads empty, but a missing name is an error.
  const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  decoded = test::UnarchiveFromString<QVConfig>(header + "<Config><Name>n</Name></Config>", "Config");
  EXPECT_EQ(decoded->name(), "n");
  EXPECT_EQ(decoded->description(), "");
  EXPECT_THROW(test::UnarchiveFromString<QVConfig>(header + "<Config><Description>d</Description></Config>", "Config"),
               QVException);
}

}  // namespace
}  // namespace Quorvel
