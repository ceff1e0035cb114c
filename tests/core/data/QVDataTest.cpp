#include "data/QVData.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

TEST(QVDataTest, CopiesShareTheBytesAndTheArchiveKeepsEveryByteAndSharesRepeats) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<unsigned char>(i));
  }
  const QVData data(bytes);
  const QVData copy = data;
  EXPECT_EQ(copy.bytes(), data.bytes());
  EXPECT_EQ(copy.length(), 256u);
  EXPECT_EQ(copy.archiveIdentity(), data.archiveIdentity());
  EXPECT_EQ(QVData(bytes), data) << "equal bytes compare equal";
  EXPECT_NE(QVData(), data);
  EXPECT_NE(QVData().bytes(), nullptr);
  EXPECT_EQ(QVData().length(), 0u);

  const std::string document = test::ArchiveList("Images", [&](QVArchiver& archiver) {
    archiver.encodeObject(data, "Data");
    archiver.encodeObject(copy, "Data");
    archiver.encodeObject(QVData(), "Data");
  });
  test::UnarchiveList(document, "Images", [&](QVUnarchiver& unarchiver) {
    std::shared_ptr<QVData> first = test::DecodeObject<QVData>(unarchiver, "Data");
    EXPECT_EQ(first->vector(), bytes);
    EXPECT_EQ(first, test::DecodeObject<QVData>(unarchiver, "Data")) << document;
    EXPECT_EQ(test::DecodeObject<QVData>(unarchiver, "Data")->length(), 0u);
  });
}

}  // namespace
}  // namespace Quorvel
