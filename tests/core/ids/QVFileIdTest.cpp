#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "support/ArchiveRoundTrip.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using test::ArchiveToString;
using test::UnarchiveFromString;

// An arbitrary boot time in nanoseconds (2026-12-05 UTC).
constexpr uint64_t kBoot = 1796497790000000000ULL;

QVSystemId System(const char* name) { return QVSystemId::uniqueSystemId(std::string("id-") + name, name); }

TEST(QVFileIdPerBoot, IdentityIsNameSystemAndBootWhichOrderAndDescribeIt) {
  const QVFileId module = QVFileId::uniqueFileId(System("alpha"), "ext4", kBoot);
  EXPECT_EQ(module, QVFileId::uniqueFileId(System("alpha"), "ext4", kBoot));
  EXPECT_NE(module, QVFileId::uniqueFileId(System("alpha"), "ext4", kBoot + 1));
  EXPECT_NE(module, QVFileId::uniqueFileId(System("beta"), "ext4", kBoot));
  // A file that happens to be called like the module is another thing.
  EXPECT_NE(module, QVFileId::uniqueFileId("ext4"));
  EXPECT_EQ(module.path(), "ext4");
  EXPECT_EQ(module.systemId(), System("alpha"));
  EXPECT_EQ(module.time(), kBoot);

  const QVFileId file = QVFileId::uniqueFileId("/lib/x.so");
  EXPECT_FALSE(file.systemId().isValid());
  EXPECT_EQ(file.time(), 0u);
  // Without a system or a boot, there is nothing but the name.
  EXPECT_EQ(QVFileId::uniqueFileId(QVSystemId(), "/lib/x.so", 0), file);

  // Ordering separates boots of one name, and the description names the boot.
  const QVFileId late = QVFileId::uniqueFileId(System("alpha"), "ext4", kBoot + 1);
  EXPECT_TRUE(module < late);
  EXPECT_FALSE(late < module);
  EXPECT_TRUE(QVFileId::uniqueFileId("ext4") < module);
  EXPECT_TRUE(module < QVFileId::uniqueFileId("ext5"));
  EXPECT_EQ(test::Text(QVFileId::uniqueFileId(System("alpha"), "ext4", 0x10)), "ext4 [system alpha, boot 0x10]");
}

TEST(QVFileIdPerBoot, BothFormsRoundTripThroughTheArchive) {
  const QVFileId module = QVFileId::uniqueFileId(System("alpha"), "nf_nat", kBoot);
  const std::string document = ArchiveToString(module, "FileId");
  EXPECT_NE(document.find("SystemId"), std::string::npos) << document;
  EXPECT_NE(document.find("0x18ee7138c4b96c00"), std::string::npos) << document;  // kBoot in hex
  std::shared_ptr<QVFileId> decoded = UnarchiveFromString<QVFileId>(document, "FileId");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, module);

  const QVFileId file = QVFileId::uniqueFileId("/usr/lib/libm.so.6");
  const std::string plain = ArchiveToString(file, "FileId");
  EXPECT_EQ(plain.find("SystemId"), std::string::npos) << plain;
  std::shared_ptr<QVFileId> decodedFile = UnarchiveFromString<QVFileId>(plain, "FileId");
  ASSERT_TRUE(decodedFile);
  EXPECT_EQ(*decodedFile, file);
}

}  // namespace
}  // namespace Quorvel
