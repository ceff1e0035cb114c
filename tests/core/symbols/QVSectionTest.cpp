#include "symbols/QVSection.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
#include "symbols/QVSymbol.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

const QVModuleId& Module() {
  static const QVModuleId id =
      QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("/usr/lib/libsection-test.so"), QVArchitectureX86_64);
  return id;
}

std::shared_ptr<QVSymbol> MakeSymbol(const QVSectionId& section, int index, const std::string& name,
                                     const QVRange<int>& range) {
  auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(section, index), name, QVSymbol::TypeCode,
                                           QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  symbol->setSectionRange(range);
  return symbol;
}

using QVSectionTest = RegistryTest;

}  // namespace

TEST_F(QVSectionTest, PlacedSymbolsAreFoundByOffsetAndNestedOnesWin) {
  const QVSectionId id = QVSectionId::uniqueSectionId(Module(), 12);
  QVSection section(id, ".text", 0xb, QVRange<unsigned long>(0x1000, 0x400), QVRange<long>(0x1000, 0x400));
  auto outer = MakeSymbol(id, 1, "outer", QVRange<int>(0x10, 0x100));
  auto inner = MakeSymbol(id, 2, "inner", QVRange<int>(0x40, 0x20));
  section.setSymbolForRange(outer, outer->sectionRange());
  section.setSymbolForRange(inner, inner->sectionRange());
  QVRange<int> range;
  EXPECT_EQ(section.symbolAtSectionOffset(0x10, range, false), outer);
  EXPECT_EQ(range, QVRange<int>(0x10, 0x30));
  EXPECT_EQ(section.symbolAtSectionOffset(0x5f, range, false), inner);
  EXPECT_EQ(range, QVRange<int>(0x40, 0x20));
  EXPECT_EQ(section.symbolAtSectionOffset(0x60, range, false), outer);
  EXPECT_FALSE(section.symbolAtSectionOffset(0x110, range, false));
  EXPECT_EQ(range, QVRange<int>(0, 0));
  std::vector<std::shared_ptr<QVSymbol>> symbols;
  section.getSymbols(symbols, false);
  EXPECT_EQ(symbols, (std::vector<std::shared_ptr<QVSymbol>>{outer, inner}));
  EXPECT_TRUE(section.isExecutable());
}

TEST_F(QVSectionTest, DecodedSectionTakesItsRegisteredSymbolsOnFirstLoadingLookup) {
  const QVSectionId id = QVSectionId::uniqueSectionId(Module(), 13);
  const QVSection original(id, ".text", 0xb, QVRange<unsigned long>(0x2000, 0x800), QVRange<long>(0x2000, 0x800));
  const std::string document = ArchiveToString(original, "Section");
  std::shared_ptr<QVSection> decoded = UnarchiveFromString<QVSection>(document, "Section");
  EXPECT_EQ(std::make_tuple(decoded->sectionId(), decoded->name(), decoded->attributes(), decoded->addressRange(),
                            decoded->fileRange()),
            std::make_tuple(id, std::string(".text"), 0xbu, QVRange<unsigned long>(0x2000, 0x800),
                            QVRange<long>(0x2000, 0x800)));

  auto a = MakeSymbol(id, 1, "a", QVRange<int>(0, 0x80));
  auto b = MakeSymbol(id, 2, "b", QVRange<int>(0x80, 0x40));
  auto elsewhere = MakeSymbol(QVSectionId::uniqueSectionId(Module(), 14), 1, "elsewhere", QVRange<int>(0, 0x800));
  for (const auto& symbol : {a, b, elsewhere}) {
    QVSymbol::registerSymbol(symbol);
  }
  QVRange<int> range;
  EXPECT_FALSE(decoded->symbolAtSectionOffset(0x90, range, false)) << "without loading nothing is placed";
  std::vector<std::shared_ptr<const QVSymbol>> found(3);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&, i] {
      QVRange<int> mine;
      found[i] = decoded->symbolAtSectionOffset(0x90, mine, true);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const auto& symbol : found) {
    EXPECT_EQ(symbol, b);
  }
  EXPECT_EQ(decoded->symbolAtSectionOffset(0x7f, range, true), a);
  EXPECT_EQ(decoded->symbolAtSectionOffset(0x400, range, true), nullptr);
}
