#include "symbols/QVSymbol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "base/QVException.h"
#include "support/ArchiveRoundTrip.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSystem.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

QVSectionId TextSection() {
  const QVModuleId module =
      QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("/usr/lib/libsymbol-test.so"), QVArchitectureX86_64);
  return QVSectionId::uniqueSectionId(module, 14);
}

// An owner that answers lines from a fixed table and counts the questions,
// as a module does for the symbols it read.
class CountingOwner : public QVSymbolOwner {
 public:
  mutable int sourceQuestions = 0;
  bool getDataForSymbol(const QVSymbol&, std::vector<unsigned char>& data) const override {
    data = {0x55, 0xc3};
    return true;
  }
  bool getSourceLocationsForSymbol(const QVSymbol&, QVSymbolSourceMap& locations) const override {
    ++sourceQuestions;
    locations.clear();
    locations.addLine(QVFileId::uniqueFileId("/src/a.cpp"), QVRange<int>(0, 4), 10);
    locations.addLine(QVFileId::uniqueFileId("/src/a.cpp"), QVRange<int>(4, 6), 12);
    locations.addLine(QVFileId::uniqueFileId("/src/inline.h"), QVRange<int>(10, 3), 7);
    locations.addLine(QVFileId::uniqueFileId("/src/a.cpp"), QVRange<int>(13, 2), 10);
    return true;
  }
  bool haveSourceLocationInfoForSymbol(const QVSymbol&) const override { return true; }
  bool getRelocationEntriesForSymbol(const QVSymbol&, std::vector<QVSymbolRelocation>& entries) const override {
    entries.clear();
    return false;
  }
  bool haveRelocationEntriesForSymbol(const QVSymbol&) const override { return false; }
  bool getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const override {
    properties = symbol.properties();
    return true;
  }
};

using QVSymbolTest = RegistryTest;

}  // namespace

TEST_F(QVSymbolTest, NamesDemangleAndAttributesPrintAsWords) {
  QVSymbol function(QVSymbolId::uniqueSymbolId(TextSection(), 1), "_ZN5probe11Accumulator4foldEi", QVSymbol::TypeCode,
                    QVSymbol::VisibilityWeak, QVArchitectureX86_64);
  EXPECT_EQ(function.demangledName(), "probe::Accumulator::fold(int)");
  QVSymbol plain(QVSymbolId::uniqueSymbolId(TextSection(), 2), "main", QVSymbol::TypeData, QVSymbol::VisibilityLocal,
                 QVArchitectureX86_64);
  EXPECT_EQ(plain.demangledName(), "main") << "names that do not demangle stay as they are";
  std::ostringstream text;
  for (const QVSymbol* symbol : {&function, &plain}) {
    symbol->printAttributeA(text);
    text << ",";
    symbol->printAttributeB(text);
    text << ";";
  }
  EXPECT_EQ(text.str(), "weak,code;local,data;");
}

TEST_F(QVSymbolTest, LineTablesComeFromALiveOwnerOnceAndAnswerBothWays) {
  auto owner = std::make_shared<CountingOwner>();
  QVSymbol symbol(QVSymbolId::uniqueSymbolId(TextSection(), 3), "f", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal,
                  QVArchitectureX86_64);
  symbol.setSectionRange(QVRange<int>(0x40, 15));
  symbol.setOwner(owner);
  EXPECT_EQ(owner->sourceQuestions, 0) << "nothing is asked before the first line question";
  QVFileId file;
  int line = 0;
  ASSERT_TRUE(symbol.sourceLineForOffset(5, file, line));
  EXPECT_EQ(std::make_pair(file.path(), line), std::make_pair(std::string("/src/a.cpp"), 12));
  ASSERT_TRUE(symbol.sourceLineForOffset(11, file, line));
  EXPECT_EQ(std::make_pair(file.path(), line), std::make_pair(std::string("/src/inline.h"), 7));
  EXPECT_FALSE(symbol.sourceLineForOffset(15, file, line));
  EXPECT_FALSE(file.isValid());
  int offset = -1;
  // Line 10 covers offsets 0-3 and 13-14: its code starts at 0.
  ASSERT_TRUE(symbol.sourceLocations().offsetForLine(QVFileId::uniqueFileId("/src/a.cpp"), 10, offset));
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(owner->sourceQuestions, 1);

  // Copies, as kernel modules take them from their backing symbols.
  QVSymbolSourceMap copy;
  copy.copyFrom(symbol.sourceLocations());
  ASSERT_TRUE(copy.lineForOffset(13, file, line));
  EXPECT_EQ(line, 10);
  EXPECT_EQ(copy.lineTables().size(), 2u);

  std::vector<unsigned char> data;
  EXPECT_TRUE(symbol.getData(data));
  EXPECT_EQ(data.size(), 2u);

  // Without an owner there are no lines; a dead owner is no owner.
  QVSymbol orphan(QVSymbolId::uniqueSymbolId(TextSection(), 5), "h", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal,
                  QVArchitectureX86_64);
  EXPECT_TRUE(orphan.sourceLocations().empty());
  EXPECT_FALSE(orphan.haveSourceLocationInfo());
  orphan.setOwner(std::make_shared<CountingOwner>());
  EXPECT_FALSE(orphan.getData(data));
  EXPECT_TRUE(orphan.sourceLocations().empty());
}

TEST_F(QVSymbolTest, RegistryRefusesDuplicateAndInvalidIdsAndIndexesBySection) {
  const QVSymbolId id = QVSymbolId::uniqueSymbolId(TextSection(), 6);
  auto first = std::make_shared<QVSymbol>(id, "a", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  auto second = std::make_shared<QVSymbol>(id, "b", QVSymbol::TypeCode, QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  QVSymbol::registerSymbol(first);
  QVSymbol::registerSymbol(first);
  std::ostringstream expected;
  expected << "duplicate symbol id: " << id << " @ ";
  EXPECT_THAT(ThrownQVException([&] { QVSymbol::registerSymbol(second); }), ::testing::StartsWith(expected.str()));
  EXPECT_THROW(QVSymbol::registerSymbol(std::make_shared<QVSymbol>()), QVException);
  EXPECT_EQ(QVSymbol::symbolWithId(id), first);

  auto other = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(TextSection(), 9), "c", QVSymbol::TypeCode,
                                          QVSymbol::VisibilityGlobal, QVArchitectureX86_64);
  QVSymbol::registerSymbol(other);
  std::vector<std::shared_ptr<QVSymbol>> inSection;
  QVSymbol::getRegisteredSymbolsForSection(TextSection(), inSection);
  EXPECT_EQ(inSection, (std::vector<std::shared_ptr<QVSymbol>>{first, other}));
  QVSymbol::flushRegisteredSymbols();
  EXPECT_FALSE(QVSymbol::symbolWithId(id));
  QVSymbol::getRegisteredSymbolsForSection(TextSection(), inSection);
  EXPECT_TRUE(inSection.empty());
}

TEST_F(QVSymbolTest, ArchivedSymbolCarriesItsLinesWithoutTheOwnerAndBadRangesAreRejected) {
  auto owner = std::make_shared<CountingOwner>();
  QVSymbol symbol(QVSymbolId::uniqueSymbolId(TextSection(), 7), "_Z1fv", QVSymbol::TypeCode, QVSymbol::VisibilityLocal,
                  QVArchitectureX86_64);
  symbol.setSectionRange(QVRange<int>(0x120, 15));
  symbol.mutableProperties().setUnsigned("size", 15);
  symbol.setOwner(owner);
  const std::string document = ArchiveToString(symbol, "Symbol");
  EXPECT_EQ(owner->sourceQuestions, 1) << "encoding loads the lines so the document holds them";
  EXPECT_NE(document.find("<Ranges>0:4:10 4:6:12 13:2:10</Ranges>"), std::string::npos) << document;

  std::shared_ptr<QVSymbol> decoded = UnarchiveFromString<QVSymbol>(document, "Symbol");
  EXPECT_EQ(std::make_tuple(decoded->symbolId(), decoded->name(), decoded->demangledName(), decoded->type(),
                            decoded->visibility(), decoded->architecture(), decoded->sectionRange()),
            std::make_tuple(symbol.symbolId(), std::string("_Z1fv"), std::string("f()"), QVSymbol::TypeCode,
                            QVSymbol::VisibilityLocal, QVArchitectureX86_64, QVRange<int>(0x120, 15)));
  EXPECT_EQ(decoded->properties(), symbol.properties());
  EXPECT_FALSE(decoded->owner());
  QVFileId file;
  int line = 0;
  ASSERT_TRUE(decoded->sourceLineForOffset(11, file, line));
  EXPECT_EQ(std::make_pair(file.path(), line), std::make_pair(std::string("/src/inline.h"), 7));
  ASSERT_TRUE(decoded->sourceLineForOffset(14, file, line));
  EXPECT_EQ(line, 10);
  EXPECT_TRUE(decoded->haveSourceLocationInfo());

  // Malformed line ranges and bad numbers are rejected.
  for (const char* bad : {"0:4", "0:0:10", "x:4:10", "0:4:10:", "0:99999999999:1", "-1:4:10"}) {
    std::string broken = document;
    const size_t at = broken.find("0:4:10");
    ASSERT_NE(at, std::string::npos);
    broken.replace(at, 6, bad);
    EXPECT_THROW(UnarchiveFromString<QVSymbol>(broken, "Symbol"), QVException) << bad;
  }
  std::string negative = document;
  negative.replace(negative.find("<Size>15</Size>"), 15, "<Size>-3</Size>");
  EXPECT_THROW(UnarchiveFromString<QVSymbol>(negative, "Symbol"), QVException);
  std::string unknownType = document;
  unknownType.replace(unknownType.find("<Type>1</Type>"), 14, "<Type>9</Type>");
  EXPECT_EQ(UnarchiveFromString<QVSymbol>(unknownType, "Symbol")->type(), QVSymbol::TypeUnknown);
}

TEST_F(QVSymbolTest, SourceFilesRegisterOnceAndSystemsRoundTrip) {
  const QVFileId id = QVFileId::uniqueFileId("/src/main.cpp");
  auto file = std::make_shared<QVSourceFile>(id);
  EXPECT_EQ(QVSourceFile::registerSourceFile(file), file);
  EXPECT_EQ(QVSourceFile::registerSourceFile(std::make_shared<QVSourceFile>(id)), file) << "the first one stays";
  QVSourceFile::flushRegisteredSourceFiles();
  EXPECT_FALSE(QVSourceFile::sourceFileWithId(id));

  std::shared_ptr<QVSystem> current = QVSystem::currentSystem();
  EXPECT_EQ(QVSystem::systemWithId(current->systemId()), current);
  EXPECT_EQ(std::make_tuple(current->architecture(), current->processorCount(), current->kernelRelease()),
            std::make_tuple(LocalMachineArchitecture(), LocalMachineProcessorCount(), LocalMachineKernelVersion()));
  const QVSystem other(QVSystemId::uniqueSystemId("machine-1", "build-host"), "build-host", QVArchitectureAArch64,
                       QVProcessorARMv7, 8, "6.1.0-test");
  std::shared_ptr<QVSystem> back = UnarchiveFromString<QVSystem>(ArchiveToString(other, "System"), "System");
  EXPECT_EQ(std::make_tuple(back->systemId(), back->name(), back->architecture(), back->processorType(),
                            back->processorCount(), back->kernelRelease()),
            std::make_tuple(other.systemId(), std::string("build-host"), QVArchitectureAArch64, QVProcessorARMv7,
                            8u, std::string("6.1.0-test")));
}
