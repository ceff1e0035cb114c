#include "system/QVFileUtils.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace Quorvel {
namespace {

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

using test::ScopedEnvironment;

// Kernel releases as distributions ship them (Debian 12, RHEL 6, the
// thresholds the perf back-end tests against) and release candidates, as
// {a, b, sign of the comparison}; each pair is also checked the other way.
TEST(QVFileUtilsCompareVersionsTest, OrdersKernelReleasesAndReleaseCandidatesAntisymmetrically) {
  const struct {
    const char *a, *b;
    int sign;
  } cases[] = {
      {"6.1.0-18-amd64", "2.6.38", 1}, {"2.6.9", "2.6.38", -1}, {"3.0", "2.6.38", 1}, {"2.6.38", "2.6.38", 0},
      {"2.6.32-754.el6.x86_64", "2.6.34", -1}, {"2.6.32-754.el6.x86_64", "2.6.32", 1},
      {"5.14.0-362.8.1.el9_3.x86_64", "5.14.0-284.11.1.el9_2.x86_64", 1}, {"2.6.35.14-106.fc14.x86_64", "2.6.36", -1},
      {"6.18.44-fc-v1272", "2.6.38", 1}, {"10.0", "9.99", 1},  // components compare as numbers, not text
      // Missing components count as zero; leading zeros do not matter.
      {"3", "3.0.0", 0}, {"3", "3.0.1", -1}, {"", "0", 0}, {"2.06.038", "2.6.38", 0},
      // Release candidates come before the release; a numeric component
      // beats a non-numeric one.
      {"2.6.38-rc1", "2.6.38", -1}, {"2.6.38-rc1", "2.6.38-rc2", -1}, {"2.6.38-rc2", "2.6.38-rc10", -1},
      {"2.6.38-rc8", "2.6.37", 1}, {"2.6.38-rc1", "2.6.38-1", -1}, {"2.6.38rc1", "2.6.38", -1},
      {"99999999999999999999.1", "9999999999999999999.1", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sign(CompareVersions(c.a, c.b)), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(Sign(CompareVersions(c.b, c.a)), -c.sign) << c.b << " vs " << c.a;
  }

  // Odd versions compare antisymmetrically too.
  const char* versions[] = {"2.6.9", "2.6.38", "2.6.38-rc1", "3.0", "6.1.0-18-amd64", "99999999999999999999.1",
                            "4.x", "", "1..2"};
  for (const char* a : versions) {
    for (const char* b : versions) {
      EXPECT_EQ(Sign(CompareVersions(a, b)), -Sign(CompareVersions(b, a))) << a << " vs " << b;
    }
  }
}

TEST(QVFileUtilsTest, TempFileIsPrivateAndInTmpdirWhichDefaultsToTmp) {
  test::ScratchDirectory scratch("qvfileutils");
  ScopedEnvironment tmpdir("TMPDIR", (scratch.path() + "/").c_str());
  EXPECT_EQ(GetTempDirectory(), scratch.path()) << "trailing slash dropped";

  const std::string path = CreateTempFile("", "quorvel-test");
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.compare(0, scratch.path().size() + 13, scratch.path() + "/quorvel-test"), 0) << path;
  EXPECT_EQ(path.size(), scratch.path().size() + 1 + 12 + 6) << "prefix plus six unique characters";
  const mode_t mode = FileModeFlags(path);
  EXPECT_TRUE(S_ISREG(mode));
  EXPECT_EQ(mode & 07777, 0600u);
  std::string contents = "stale";
  EXPECT_TRUE(FileReadString(path, contents));
  EXPECT_EQ(contents, "");

  const std::string second = CreateTempFile(scratch.path(), "quorvel-test");
  EXPECT_NE(second, path);
  EXPECT_TRUE(FileRemove(path));
  EXPECT_TRUE(FileRemove(second));
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(CreateTempFile("/nonexistent/qv-missing-dir", "quorvel-test"), "");
  // Unset or empty, TMPDIR means /tmp.
  ScopedEnvironment unset("TMPDIR", nullptr);
  EXPECT_EQ(GetTempDirectory(), "/tmp");
  ScopedEnvironment empty("TMPDIR", "");
  EXPECT_EQ(GetTempDirectory(), "/tmp");
}

TEST(QVFileUtilsTest, WriteThenReadRoundTripsBinaryText) {
  test::ScratchDirectory scratch("qvfileutils");
  const std::string path = scratch.file("data");
  std::string text("line one\n");
  text.push_back('\0');
  text += std::string(200000, 'x');  // larger than one read chunk
  ASSERT_TRUE(FileWriteString(path, text));
  std::string read;
  ASSERT_TRUE(FileReadString(path, read));
  EXPECT_EQ(read, text);

  ASSERT_TRUE(FileWriteString(path, "short"));
  ASSERT_TRUE(FileReadString(path, read));
  EXPECT_EQ(read, "short") << "writing replaces, not overlays";
}

TEST(QVFileUtilsTest, ModeQueriesAndFailuresGiveFalseAndEmpty) {
  test::ScratchDirectory scratch("qvfileutils");
  std::string text = "untouched";
  EXPECT_FALSE(FileReadString(scratch.file("missing"), text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(FileReadString(scratch.path(), text)) << "a directory is not readable as a file";
  EXPECT_FALSE(FileWriteString(scratch.file("missing-dir/file"), "x"));
  EXPECT_FALSE(FileRemove(scratch.file("missing")));
  EXPECT_EQ(FileModeFlags(scratch.file("missing")), 0u);
  EXPECT_FALSE(FileExists(scratch.file("missing")));

  const std::string script = scratch.file("script");
  const std::string data = scratch.file("data");
  ASSERT_TRUE(FileWriteString(script, "#!/bin/sh\n"));
  ASSERT_TRUE(FileWriteString(data, "data"));
  ASSERT_EQ(::chmod(script.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(data.c_str(), 0600), 0);

  EXPECT_TRUE(FileExists(script));
  EXPECT_TRUE(FileCanRead(data));
  EXPECT_TRUE(FileCanExecute(script));
  EXPECT_FALSE(FileCanExecute(data));
  EXPECT_FALSE(FileCanExecute(scratch.path())) << "directories are searchable, not executable";
  EXPECT_TRUE(DirectoryExists(scratch.path()));
  EXPECT_FALSE(DirectoryExists(data));
  EXPECT_TRUE(S_ISDIR(FileModeFlags(scratch.path())));
  EXPECT_EQ(FileModeFlags(script) & 07777, 0700u);
}

TEST(QVFileUtilsTest, InstallDirectoriesHangOffTheLibraryLocation) {
  const std::string install = GetInstallDirectory();
  ASSERT_FALSE(install.empty());
  EXPECT_TRUE(DirectoryExists(install));
  // In the build tree the library lies in <build>/core, so the install
  // directory is the build directory, which holds this test's directory.
  EXPECT_TRUE(DirectoryExists(install + "/core")) << install;
  EXPECT_EQ(GetShareDirectory(), install + "/share/quorvel");
}

}  // namespace
}  // namespace Quorvel
