#include "symbols/elf/QVDebugFileLocator.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "support/ElfProbes.h"
#include "support/TestSupport.h"
#include "symbols/elf/QVDwarfLineTable.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

// A scratch tree laid out like a system: the stripped program under bin/,
// and an empty debug root standing for /usr/lib/debug.
class QVDebugFileLocatorTest : public ::testing::Test {
 protected:
  QVDebugFileLocatorTest()
      : scratch_("qvdebug"),
        root_(scratch_.file("usr/lib/debug")),
        binFolder_(boost::filesystem::canonical(scratch_.path()).string() + "/bin") {
    boost::filesystem::create_directories(root_);
  }

  // Installs a stripped probe and returns its path.
  std::string install(const std::string& name) {
    const std::string path = binFolder_ + "/" + name;
    CopyFile(ProbePath(name), path);
    return path;
  }

  // The debug file of the stripped probe resolves its symbols and lines.
  void expectResolves(const QVElfImage& stripped, const std::shared_ptr<QVElfImage>& debug) {
    ASSERT_NE(debug, nullptr);
    QVElfSymbolTable symbols(stripped, *debug);
    const QVElfSymbol* helper = symbols.symbolNamed("_ZL21qvprobe_static_helperi");
    ASSERT_NE(helper, nullptr) << "a local function is only in the full table";
    QVDwarfLineTable lines(debug);
    QVSourceLine line;
    ASSERT_TRUE(lines.sourceLineAt(helper->value, line));
    EXPECT_EQ(line.line, LineContaining(QV_PROBE_SOURCE, "int qvprobe_static_helper(int value) {"));
  }

  ScratchDirectory scratch_;
  std::string root_;
  std::string binFolder_;
};

}  // namespace

TEST_F(QVDebugFileLocatorTest, OnlyImagesMissingTablesOrLinesNeedOneAndEachCandidateRouteFindsItOnItsOwn) {
  EXPECT_TRUE(QVDebugFileLocator::needsDebugFile(QVElfImage(ProbePath("symbol_probe_stripped"))));
  EXPECT_TRUE(QVDebugFileLocator::needsDebugFile(QVElfImage(ProbePath("symbol_probe_nolines"))));
  EXPECT_FALSE(QVDebugFileLocator::needsDebugFile(QVElfImage(ProbePath("symbol_probe_g_fp"))));

  const std::string program = install("symbol_probe_stripped");
  QVElfImage stripped(program);
  QVDebugFileLocator locator(root_ + "/");
  const auto candidates = locator.candidates(stripped);
  ASSERT_EQ(candidates.size(), 4u);
  const std::string& id = stripped.buildId();
  EXPECT_EQ(candidates[0].path, root_ + "/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug");
  EXPECT_EQ(candidates[0].route, QVDebugFileLocator::Route::BuildId);
  EXPECT_EQ(candidates[1].path, binFolder_ + "/symbol_probe_stripped.debug");
  EXPECT_EQ(candidates[2].path, binFolder_ + "/.debug/symbol_probe_stripped.debug");
  EXPECT_EQ(candidates[3].path, root_ + binFolder_ + "/symbol_probe_stripped.debug");
  EXPECT_EQ(candidates[3].route, QVDebugFileLocator::Route::DebugLinkUnderRoot);

  // Each route finds the debug file on its own, and never that of another build.
  QVDebugFileLocator::Route route = QVDebugFileLocator::Route::BuildId;
  EXPECT_EQ(locator.locate(stripped, &route), nullptr);
  EXPECT_EQ(route, QVDebugFileLocator::Route::None);
  for (const auto& candidate : candidates) {
    CopyFile(ProbePath("symbol_probe_stripped.debug"), candidate.path);
    auto debug = locator.locate(stripped, &route);
    EXPECT_EQ(route, candidate.route) << candidate.path;
    ASSERT_NE(debug, nullptr) << candidate.path;
    EXPECT_EQ(debug->path(), candidate.path);
    expectResolves(stripped, debug);
    boost::filesystem::remove(candidate.path);
  }
  // The debug file of a different build sits at every place; then the
  // right one is added at the last place and only it is taken.
  for (const auto& candidate : candidates) {
    CopyFile(ProbePath("symbol_probe_g_nofp"), candidate.path);
  }
  EXPECT_EQ(locator.locate(stripped), nullptr);
  CopyFile(ProbePath("symbol_probe_stripped.debug"), candidates.back().path);
  ASSERT_NE(locator.locate(stripped, &route), nullptr);
  EXPECT_EQ(route, QVDebugFileLocator::Route::DebugLinkUnderRoot);
}

TEST_F(QVDebugFileLocatorTest, WithoutABuildIdTheDebugLinkCrcDecides) {
  const std::string program = install("symbol_probe_nobuildid_stripped");
  QVElfImage stripped(program);
  ASSERT_TRUE(stripped.buildId().empty());
  QVDebugFileLocator locator(root_);
  const auto candidates = locator.candidates(stripped);
  ASSERT_EQ(candidates.size(), 3u) << "no build-id path without a build-id";

  // One byte more and the CRC no longer matches.
  std::string bytes = ReadWholeFile(ProbePath("symbol_probe_nobuildid_stripped.debug"));
  WriteWholeFile(candidates[0].path, bytes + '\0');
  EXPECT_EQ(locator.locate(stripped), nullptr);

  WriteWholeFile(candidates[1].path, bytes);
  QVDebugFileLocator::Route route = QVDebugFileLocator::Route::None;
  auto debug = locator.locate(stripped, &route);
  EXPECT_EQ(route, QVDebugFileLocator::Route::DebugLinkSubfolder);
  expectResolves(stripped, debug);
}

TEST_F(QVDebugFileLocatorTest, ADebugLinkNamingAPathIsIgnored) {
  // objcopy writes whatever base name it is given; a link with a folder in
  // it is not something the tools write, and must not send the search
  // elsewhere. Patch the recorded name in place to "../x" of equal length.
  const std::string program = install("symbol_probe_stripped");
  std::string bytes = ReadWholeFile(program);
  const std::string name = "symbol_probe_stripped.debug";
  const size_t at = bytes.find(name + '\0');
  ASSERT_NE(at, std::string::npos);
  std::string hostile = "../" + name.substr(3);
  bytes.replace(at, name.size(), hostile);
  WriteWholeFile(program, bytes);
  QVElfImage patched(program);
  ASSERT_TRUE(patched.isValid()) << patched.error();
  EXPECT_EQ(patched.debugLinkName(), hostile);
  const auto candidates = QVDebugFileLocator(root_).candidates(patched);
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0].route, QVDebugFileLocator::Route::BuildId);
}
