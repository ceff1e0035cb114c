// Temporary files that leave no name behind, on both ways of making them:
// O_TMPFILE where the filesystem takes it, and the unlinked named file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVTempFile.h"

using namespace Quorvel;

TEST(QVTempFile, HasNoNameReadsBackThroughItsPathAndNeedsItsDirectoryOnEitherWay) {
  for (const bool allowUnnamed : {true, false}) {
    SCOPED_TRACE(allowUnnamed ? "O_TMPFILE" : "unlinked fallback");
    test::ScratchDirectory scratch("qvtempfile");
    std::string kept;
    {
      auto file = QVTempFile::create(scratch.path(), "chunk-", allowUnnamed);
      ASSERT_TRUE(file);
      if (!allowUnnamed) {
        EXPECT_FALSE(file->unnamed());
      }
      EXPECT_TRUE(test::DirectoryEntries(scratch.path()).empty());
      ASSERT_TRUE(file->append("abc", 3));
      ASSERT_TRUE(file->append("defg", 4));
      std::string text;
      ASSERT_TRUE(FileReadString(file->path(), text));
      EXPECT_EQ(text, "abcdefg");
      EXPECT_TRUE(test::DirectoryEntries(scratch.path()).empty());

      kept = file->keep();
      ASSERT_FALSE(kept.empty());
      EXPECT_EQ(PathDirectory(kept), scratch.path());
      EXPECT_EQ(PathBaseName(kept).rfind("chunk-", 0), 0u) << kept;
      // Writing after keep() does not reach the kept copy.
      ASSERT_TRUE(file->append("h", 1));
    }
    std::string copy;
    ASSERT_TRUE(FileReadString(kept, copy));
    EXPECT_EQ(copy, "abcdefg");
    EXPECT_EQ(test::DirectoryEntries(scratch.path()), std::vector<std::string>{PathBaseName(kept)});
  }

  // A missing directory gives null.
  test::ScratchDirectory scratch("qvtempfile");
  for (const bool allowUnnamed : {true, false}) {
    const std::string log =
        test::CaptureLog([&] { EXPECT_FALSE(QVTempFile::create(scratch.file("missing"), "chunk-", allowUnnamed)); });
    EXPECT_NE(log.find("unable to create a temporary file"), std::string::npos) << log;
  }
}
