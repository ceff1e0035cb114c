#include "data/QVData.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "support/ArchiveRoundTrip.h"

namespace Quorvel {
namespace {

TEST(QVDataTest, CopiesShareTheBytes) {
  const QVData data(std::vector<unsigned char>{0x7f, 'E', 'L', 'F'});
  const QVData copy = data;
  EXPECT_EQ(copy.bytes(), data.bytes());
  EXPECT_EQ(copy.length(), 4u);
  EXPECT_EQ(copy.archiveIdentity(), data.archiveIdentity());
  EXPECT_EQ(QVData(std::vector<unsigned char>{0x7f, 'E', 'L', 'F'}), data) << "equal bytes compare equal";
  EXPECT_NE(QVData(), data);
  EXPECT_NE(QVData().bytes(), nullptr);
  EXPECT_EQ(QVData().length(), 0u);
}

TEST(QVDataTest, RoundTripKeepsEveryByteAndSharesRepeats) {
  std::vector<unsigned char> bytes;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<unsigned char>(i));
  }
  const QVData data(bytes);
  std::ostringstream stream;
  {
    std::unique_ptr<QVArchiver> archiver = QVArchiver::createArchiver(stream);
    archiver->beginList("Images");
    archiver->encodeObject(data, "Data");
    archiver->encodeObject(QVData(data), "Data");
    archiver->encodeObject(QVData(), "Data");
    archiver->endList("Images");
    archiver->finish();
  }
  std::istringstream input(stream.str());
  std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(input);
  unarchiver->enterElement("Images");
  std::shared_ptr<QVData> first;
  std::shared_ptr<QVData> second;
  std::shared_ptr<QVData> empty;
  unarchiver->decodeObjectForKey("Data", first);
  unarchiver->decodeObjectForKey("Data", second);
  unarchiver->decodeObjectForKey("Data", empty);
  unarchiver->leaveElement("Images");
  EXPECT_EQ(first->vector(), bytes);
  EXPECT_EQ(first.get(), second.get()) << stream.str();
  EXPECT_EQ(empty->length(), 0u);
}

}  // namespace
}  // namespace Quorvel
