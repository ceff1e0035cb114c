#include <gtest/gtest.h>

#include <sstream>

#include "export/QVFoldedStacks.h"
#include "export/QVProfileDiff.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "support/SyntheticSession.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using test::ExportSession;

class QVFoldedStacksTest : public ::testing::Test {
 protected:
  // The folded stacks of a session of these stacks, written and read back
  // as any session is.
  QVFoldedStacks Fold(const std::vector<ExportSession::Stack>& stacks, const std::string& name) {
    const std::string path = scratch_.file(name);
    ExportSession::write(path, stacks);
    profiles_.push_back(QVSessionFile::read(path));
    return QVFoldedStacks(profiles_.back()->callStackData()->samples(), QVCallTree::symbol);
  }

  test::ScratchDirectory scratch_{"qvfolded"};
  std::vector<std::shared_ptr<QVSessionProfile>> profiles_;
};

TEST_F(QVFoldedStacksTest, RecursionCountsOnceInTotalAndEveryFrameInSelf) {
  // main -> lex -> main -> lex, sampled in the inner lex, twice; and main
  // alone once.
  const QVFoldedStacks folded =
      Fold({{{qv_export_lex, qv_export_main, qv_export_lex, qv_export_main}, 2}, {{qv_export_main}, 1}}, "r");
  EXPECT_EQ(3u, folded.sampleCount());
  const auto& functions = folded.functions();
  ASSERT_EQ(2u, functions.size());
  EXPECT_EQ(3u, functions.at("qv_export_main").total) << "on every stack, however often";
  EXPECT_EQ(1u, functions.at("qv_export_main").self);
  EXPECT_EQ(2u, functions.at("qv_export_lex").total);
  EXPECT_EQ(2u, functions.at("qv_export_lex").self);
  std::ostringstream out;
  folded.write(out);
  EXPECT_EQ("qv_export_main 1\nqv_export_main;qv_export_lex;qv_export_main;qv_export_lex 2\n", out.str());
}

TEST_F(QVFoldedStacksTest, DiffMarksWhatAppearsAndVanishesAndSortsByChange) {
  const QVFoldedStacks base =
      Fold({{{qv_export_parse, qv_export_main}, 7}, {{qv_export_lex, qv_export_main}, 3}}, "base");
  const QVFoldedStacks next =
      Fold({{{qv_export_parse, qv_export_main}, 2}, {{qv_export_draw, qv_export_main}, 8}}, "next");

  const struct {
    const char* function;
    double baseSelf, newSelf, baseTotal, newTotal;
    bool appears, vanishes;
  } expected[] = {
      // Shares of 10 samples each, largest change first.
      {"qv_export_draw", 0, 80, 0, 80, true, false},
      {"qv_export_parse", 70, 20, 70, 20, false, false},
      {"qv_export_lex", 30, 0, 30, 0, false, true},
      {"qv_export_main", 0, 0, 100, 100, false, false},
  };
  const auto rows = QVProfileDiff::compare(base, next, 0.0);
  ASSERT_EQ(4u, rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(expected[i].function);
    EXPECT_EQ(expected[i].function, rows[i].function);
    EXPECT_DOUBLE_EQ(expected[i].baseSelf, rows[i].baseSelf);
    EXPECT_DOUBLE_EQ(expected[i].newSelf, rows[i].newSelf);
    EXPECT_DOUBLE_EQ(expected[i].baseTotal, rows[i].baseTotal);
    EXPECT_DOUBLE_EQ(expected[i].newTotal, rows[i].newTotal);
    EXPECT_EQ(expected[i].appears, rows[i].appears);
    EXPECT_EQ(expected[i].vanishes, rows[i].vanishes);
  }
  // The limit applies to the larger total share of the two.
  EXPECT_EQ(4u, QVProfileDiff::compare(base, next, 30.0).size());
  EXPECT_EQ(3u, QVProfileDiff::compare(base, next, 30.01).size());

  std::ostringstream out;
  QVFoldedStacks::writeDifferential(out, base, next);
  EXPECT_EQ(
      "qv_export_main;qv_export_draw 0 8\n"
      "qv_export_main;qv_export_lex 3 0\n"
      "qv_export_main;qv_export_parse 7 2\n",
      out.str());
}

TEST(QVFoldedStacksLabelTest, SeparatorsInNamesCannotSplitAStack) {
  const struct {
    const char* label;
    const char* sanitized;
  } cases[] = {
      {"plain", "plain"},
      {"a;b", "a:b"},
      {"line\nbreak\r", "line break "},
      {"operator<(A, B)", "operator<(A, B)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.sanitized, QVFoldedStacks::sanitizedLabel(c.label)) << c.label;
}

}  // namespace
}  // namespace Quorvel
