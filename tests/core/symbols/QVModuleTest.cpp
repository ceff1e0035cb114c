#include "symbols/QVModule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <tuple>

#include <boost/filesystem.hpp>

#include "base/QVException.h"
#include "support/ArchiveRoundTrip.h"
#include "support/ElfProbes.h"
#include "support/Registries.h"
#include "support/TestSupport.h"
#include "symbols/elf/QVElfHeader.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVModuleElf.h"
#include "symbols/QVSection.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSystem.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

QVModuleId ModuleIdFor(const std::string& path) {
  return QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path), LocalMachineArchitecture());
}

// The section of the module whose address range holds the link-time
// address, or null.
std::shared_ptr<QVSection> SectionAt(const QVModule& module, uint64_t address) {
  for (const std::shared_ptr<QVSection>& section : module.sections()) {
    if (section->addressRange().contains(address)) {
      return section;
    }
  }
  return nullptr;
}

const NmSymbol* FindNm(const std::vector<NmSymbol>& symbols, const std::string& name) {
  for (const NmSymbol& symbol : symbols) {
    if (symbol.name == name) {
      return &symbol;
    }
  }
  return nullptr;
}

class QVModuleTest : public RegistryTest {
 protected:
  void RequireProbes() {
    if (!ProbesAvailable()) {
      GTEST_SKIP() << "the probe programs are not built (ninja symbol_probes)";
    }
    if (!ToolAvailable("nm")) {
      GTEST_SKIP() << "binutils' nm is needed for the probes' expected addresses";
    }
  }

  // Resolves `function` of the probe at `path` through the module's
  // sections and checks it against nm's value and size and against the
  // probe source's line numbers.
  void ExpectResolvesWithLines(QVModule& module, const std::string& nmPath, const std::string& function,
                               const std::string& definition, const std::string& endMarker) {
    const std::vector<NmSymbol> listed = NmSymbols(nmPath);
    const NmSymbol* expected = FindNm(listed, function);
    ASSERT_NE(expected, nullptr) << function;
    std::shared_ptr<QVSection> section = SectionAt(module, expected->value);
    ASSERT_TRUE(section) << function;
    EXPECT_TRUE(section->isExecutable());
    const int offset = static_cast<int>(expected->value - section->addressRange().location);

    // An address inside the function (its last byte) finds the function
    // with its whole extent.
    QVRange<int> range;
    const std::shared_ptr<QVSymbol>& symbol =
        section->symbolAtSectionOffset(offset + static_cast<int>(expected->size) - 1, range, true);
    ASSERT_TRUE(symbol) << function;
    EXPECT_EQ(symbol->name(), function);
    EXPECT_EQ(symbol->type(), QVSymbol::TypeCode);
    EXPECT_EQ(range, QVRange<int>(offset, static_cast<int>(expected->size)));
    EXPECT_EQ(symbol->sectionRange(), range);
    EXPECT_EQ(symbol->symbolId().asSectionId(), section->sectionId());
    EXPECT_EQ(QVSymbol::symbolWithId(symbol->symbolId()), symbol);

    // The first byte is the definition line; every byte lies between it
    // and the closing comment of the function.
    const int first = LineContaining(ProbeSourcePath(), definition);
    const int last = LineContaining(ProbeSourcePath(), endMarker);
    ASSERT_GT(first, 0);
    QVFileId file;
    int line = 0;
    ASSERT_TRUE(symbol->sourceLineForOffset(0, file, line)) << function;
    EXPECT_EQ(line, first) << function;
    EXPECT_EQ(boost::filesystem::path(file.path()).filename().string(), "SymbolProbe.cpp");
    EXPECT_TRUE(QVSourceFile::sourceFileWithId(file)) << "the module registers the files its lines name";
    // Every byte up to and including the last (the return) has a line.
    for (int at = 0; at < symbol->size(); ++at) {
      ASSERT_TRUE(symbol->sourceLineForOffset(at, file, line)) << function << "+" << at;
      EXPECT_GE(line, first) << function << "+" << at;
      EXPECT_LE(line, last) << function << "+" << at;
    }
  }
};

}  // namespace

TEST(QVModuleIdTest, InternedIdentifiersCompareNestAndPrint) {
  const QVFileId file = QVFileId::uniqueFileId("/usr/lib/libexample.so");
  const QVModuleId module = QVModuleId::uniqueModuleId(file, QVArchitectureX86_64);
  EXPECT_EQ(module, QVModuleId::uniqueModuleId(QVFileId::uniqueFileId("/usr/lib/libexample.so"),
                                               QVArchitectureX86_64));
  EXPECT_NE(module, QVModuleId::uniqueModuleId(file, QVArchitectureX86));

  const QVSectionId section = QVSectionId::uniqueSectionId(module, 12);
  const QVSymbolId symbol = QVSymbolId::uniqueSymbolId(section, 345);
  EXPECT_EQ(section.asModuleId(), module);
  EXPECT_EQ(symbol.asSectionId(), section);
  EXPECT_EQ(symbol.asModuleId(), module);
  EXPECT_EQ(std::hash<QVSymbolId>()(symbol), hash_value(QVSymbolId::uniqueSymbolId(section, 345)));

  EXPECT_LT(QVSectionId::uniqueSectionId(module, 2), section);
  EXPECT_LT(QVSymbolId::invalidSymbolId(), symbol);
  EXPECT_FALSE(QVModuleId::invalidModuleId().isValid());
  EXPECT_EQ(QVSymbolId().asModuleId(), QVModuleId());
  EXPECT_EQ(QVSectionId().index(), -1);

  std::ostringstream text;
  text << symbol << "|" << QVSectionId();
  EXPECT_EQ(text.str(), "/usr/lib/libexample.so (x86_64) section 12 symbol 345|invalid section id");
}

TEST_F(QVModuleTest, RegistryRejectsInvalidAndDuplicateIds) {
  const QVModuleId id = ModuleIdFor("/lib/registry-test.so");
  auto module = std::make_shared<QVModule>(id, "/lib/registry-test.so", 0, "registry-test.so");
  QVModule::registerModule(module);
  QVModule::registerModule(module);  // the same object again is fine
  EXPECT_EQ(QVModule::moduleWithId(id), module);
  auto other = std::make_shared<QVModule>(id, "/lib/registry-test.so", 0, "other");
  EXPECT_THAT(ThrownQVException([&] { QVModule::registerModule(other); }),
              ::testing::StartsWith("duplicate module id: /lib/registry-test.so (" +
                                    ArchitectureToString(LocalMachineArchitecture()) + ") @ "));
  EXPECT_THROW(QVModule::registerModule(std::make_shared<QVModule>()), QVException);
  EXPECT_FALSE(QVModule::moduleWithId(ModuleIdFor("/lib/never-registered.so")));

  std::vector<std::shared_ptr<QVModule>> modules;
  QVModule::getRegisteredModules(modules);
  ASSERT_EQ(modules.size(), 1u);
  QVModule::flushRegisteredModules();
  EXPECT_FALSE(QVModule::moduleWithId(id));
}

TEST_F(QVModuleTest, PlainModuleBaseIsItsLowestAllocatedSection) {
  const QVModuleId id = ModuleIdFor("/lib/plain.so");
  QVModule module(id, "/lib/plain.so", 0, "plain.so");
  EXPECT_EQ(module.baseAddress(), 0u);
  auto text = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(id, 1), ".text", 0xb,
                                          QVRange<unsigned long>(0x5000, 0x100), QVRange<long>(0x1000, 0x100));
  auto data = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(id, 2), ".data", 0xe,
                                          QVRange<unsigned long>(0x3000, 0x10), QVRange<long>(0x800, 0x10));
  auto note = std::make_shared<QVSection>(QVSectionId::uniqueSectionId(id, 3), ".comment", 0x8,
                                          QVRange<unsigned long>(0x0, 0x10), QVRange<long>(0x900, 0x10));
  module.setSections({text, data, note});
  EXPECT_EQ(module.baseAddress(), 0x3000u) << "the unallocated section at 0 does not count";
  EXPECT_EQ(module.sectionWithId(QVSectionId::uniqueSectionId(id, 2)), data);
  EXPECT_FALSE(module.sectionWithId(QVSectionId::uniqueSectionId(id, 9)));
}

TEST_F(QVModuleTest, ElfModuleResolvesProbeFunctionsToNamesSizesLinesAndKeepsLabelsApart) {
  RequireProbes();
  const std::string path = ProbePath("symbol_probe_g_fp");
  auto module = std::make_shared<QVModuleElf>(ModuleIdFor(path), path, 0, "symbol_probe_g_fp");
  ASSERT_TRUE(module->isValid());
  QVModule::registerModule(module);
  // readelf -S of any linked program: .text is allocated executable code,
  // .data allocated and writable, .bss takes no file space.
  bool sawText = false;
  for (const auto& section : module->sections()) {
    EXPECT_TRUE(section->attributes() & QVSection::kAttributeAllocated);
    EXPECT_FALSE(section->symbolsLoaded()) << "opening a module reads no symbols";
    if (section->name() == ".text") {
      sawText = true;
      EXPECT_EQ(section->attributes(), QVSection::kAttributeAllocated | QVSection::kAttributeExecutable |
                                           QVSection::kAttributeFileBacked);
    } else if (section->name() == ".bss") {
      EXPECT_EQ(section->attributes() & QVSection::kAttributeFileBacked, 0u);
      EXPECT_TRUE(section->attributes() & QVSection::kAttributeWritable);
    }
  }
  EXPECT_TRUE(sawText);
  EXPECT_EQ(module->baseAddress(), module->image()->baseAddress());

  ExpectResolvesWithLines(*module, path, "qvprobe_checksum", "long qvprobe_checksum(",
                          "// end qvprobe_checksum");
  ExpectResolvesWithLines(*module, path, "_ZN5probe11Accumulator4foldEi", "long Accumulator::fold(int value) {",
                          "// end fold");

  // Between functions lies alignment padding, which belongs to no symbol.
  const std::vector<NmSymbol> listed = NmSymbols(path);
  const NmSymbol* add = FindNm(listed, "qvprobe_add");
  ASSERT_NE(add, nullptr);
  auto section = SectionAt(*module, add->value);
  QVRange<int> range;
  EXPECT_FALSE(section->symbolAtSectionOffset(-5, range, true));
  EXPECT_EQ(range, QVRange<int>(0, 0));

  // Names, visibility and properties come from the symbol table.
  std::shared_ptr<QVSymbol> helper = module->symbolNamed("_ZL21qvprobe_static_helperi");
  ASSERT_TRUE(helper);
  EXPECT_EQ(helper->visibility(), QVSymbol::VisibilityLocal);
  EXPECT_EQ(helper->demangledName(), "qvprobe_static_helper(int)");
  EXPECT_EQ(helper->properties().stringValue("binding"), "local");
  EXPECT_EQ(module->symbolNamed("qvprobe_checksum")->visibility(), QVSymbol::VisibilityGlobal);
  EXPECT_FALSE(module->symbolNamed("no_such_function"));
#if defined(__x86_64__)
  // The probe's hand-written qvprobe_asm_sized holds the label
  // qvprobe_asm_label, which must not split the function.
  EXPECT_EQ(module->labels().count("qvprobe_asm_label"), 1u);
  std::shared_ptr<QVSymbol> sized = module->symbolNamed("qvprobe_asm_sized");
  ASSERT_TRUE(sized);
  const std::shared_ptr<QVSection>& text = module->sectionWithId(sized->symbolId().asSectionId());
  const uint64_t label = module->labels().at("qvprobe_asm_label");
  EXPECT_EQ(text->symbolAtSectionOffset(static_cast<int>(label - text->addressRange().location), range, true),
            sized);
  // qvprobe_asm_unsized has no size: it reaches to the next symbol.
  std::shared_ptr<QVSymbol> unsized = module->symbolNamed("qvprobe_asm_unsized");
  ASSERT_TRUE(unsized);
  EXPECT_GT(unsized->size(), 0);
#endif
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(helper->getData(bytes));
  EXPECT_EQ(bytes.size(), static_cast<size_t>(helper->size()));
  QVPropertyMap properties;
  ASSERT_TRUE(module->getPropertiesForSymbol(*helper, properties));
  EXPECT_EQ(properties.stringValue("section"), ".text");
}

TEST_F(QVModuleTest, StrippedProgramResolvesThroughTheDebugTreeAndOneWithoutLinesHasNone) {
  RequireProbes();
  ScratchDirectory scratch("qvmodule");
  // Alone in its folder, the stripped program can only find its debug file
  // by build-id under the debug root.
  const std::string stripped = scratch.file("bin/symbol_probe_stripped");
  CopyFile(ProbePath("symbol_probe_stripped"), stripped);
  const std::string buildId = QVElfImage(stripped).buildId();
  ASSERT_GT(buildId.size(), 2u);
  CopyFile(ProbePath("symbol_probe_stripped.debug"),
           scratch.file("root/usr/lib/debug/.build-id/" + buildId.substr(0, 2) + "/" + buildId.substr(2) + ".debug"));

  auto module = std::make_shared<QVModuleElf>(ModuleIdFor(stripped), stripped, 0, "stripped");
  {
    // Without the debug tree only exported names are known.
    QVSystemPaths::ScopedRoot root(scratch.file("empty-root"));
    EXPECT_FALSE(module->symbolNamed("_ZL21qvprobe_static_helperi"));
    // Debug information stripped but not split off: the names stay, and
    // with no debug file to be found there are no lines.
    const std::string nolines = ProbePath("symbol_probe_nolines");
    auto bare = std::make_shared<QVModuleElf>(ModuleIdFor(nolines), nolines, 0, "nolines");
    std::shared_ptr<QVSymbol> symbol = bare->symbolNamed("qvprobe_checksum");
    ASSERT_TRUE(symbol);
    EXPECT_FALSE(symbol->haveSourceLocationInfo());
    QVFileId file;
    int line = 0;
    EXPECT_FALSE(symbol->sourceLineForOffset(0, file, line));
    EXPECT_FALSE(file.isValid());
  }
  QVSystemPaths::ScopedRoot root(scratch.file("root"));
  auto withDebug = std::make_shared<QVModuleElf>(ModuleIdFor(stripped + "-again"), stripped, 0, "stripped");
  // Symbol values of the debug file are those of the original program.
  ExpectResolvesWithLines(*withDebug, ProbePath("symbol_probe_g_fp"), "qvprobe_checksum", "long qvprobe_checksum(",
                          "// end qvprobe_checksum");
  EXPECT_TRUE(withDebug->symbolNamed("_ZL21qvprobe_static_helperi")) << "local names come from the debug file";
}

TEST_F(QVModuleTest, ElfHeaderReadsClassAndMachineAndNonElfGivesNoSections) {
  RequireProbes();
  QVElfHeader header(ProbePath("symbol_probe_g_fp"), 0);
  EXPECT_TRUE(header.isElf());
  EXPECT_EQ(header.architecture(), LocalMachineArchitecture());
  EXPECT_EQ(header.is64Bit(), sizeof(void*) == 8);
  ScratchDirectory scratch("qvmodule");
  // The same header at an offset inside another file.
  const std::string padded = scratch.file("padded");
  WriteWholeFile(padded, std::string(4096, 'x') + ReadWholeFile(ProbePath("symbol_probe_g_fp")).substr(0, 64));
  EXPECT_TRUE(QVElfHeader::isElf(padded, 4096));
  EXPECT_FALSE(QVElfHeader::isElf(padded, 0));
  EXPECT_FALSE(QVElfHeader::isElf(scratch.file("missing"), 0));

  const std::string text = scratch.file("not-elf.txt");
  WriteWholeFile(text, "just some text, long enough to hold an ELF header\n");
  EXPECT_FALSE(QVElfHeader::isElf(text, 0));
  QVModuleElf module(ModuleIdFor(text), text, 0, "not-elf");
  EXPECT_FALSE(module.isValid());
  EXPECT_TRUE(module.sections().empty());
  EXPECT_TRUE(module.labels().empty());
  // A truncated ELF: the magic survives, the rest does not.
  const std::string truncated = scratch.file("truncated.so");
  WriteWholeFile(truncated, std::string("\x7f" "ELF\x02\x01\x01", 7));
  EXPECT_FALSE(QVElfHeader::isElf(truncated, 0));
  EXPECT_TRUE(QVModuleElf(ModuleIdFor(truncated), truncated, 0, "truncated").sections().empty());
}

TEST_F(QVModuleTest, ConcurrentFirstLookupsLoadOnceAndAgree) {
  RequireProbes();
  const std::string path = ProbePath("symbol_probe_g_nofp");
  auto module = std::make_shared<QVModuleElf>(ModuleIdFor(path), path, 0, "nofp");
  const std::vector<NmSymbol> listed = NmSymbols(path);
  const NmSymbol* fold = FindNm(listed, "_ZN5probe11Accumulator4foldEi");
  ASSERT_NE(fold, nullptr);
  std::shared_ptr<QVSection> section = SectionAt(*module, fold->value);
  ASSERT_TRUE(section);
  const int offset = static_cast<int>(fold->value - section->addressRange().location);
  std::vector<const QVSymbol*> found(4, nullptr);
  std::vector<int> lines(4, 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&, i] {
      QVRange<int> range;
      const std::shared_ptr<QVSymbol>& symbol = section->symbolAtSectionOffset(offset + 1, range, true);
      found[i] = symbol.get();
      QVFileId file;
      if (symbol) {
        symbol->sourceLineForOffset(1, file, lines[i]);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  ASSERT_NE(found[0], nullptr);
  for (size_t i = 1; i < found.size(); ++i) {
    EXPECT_EQ(found[i], found[0]);
    EXPECT_EQ(lines[i], lines[0]);
  }
  EXPECT_GT(lines[0], 0);
}

// Writes the probe's module and the symbols resolved in it, as a session
// file would after recording samples in it; then, once the registries forgot
// everything the writer knew, reads back what a reader can tell without the
// program.
TEST_F(QVModuleTest, SessionSymbolsReadBackAfterFlushingAnswerFromTheFile) {
  RequireProbes();
  const std::string path = ProbePath("symbol_probe_g_fp");
  const QVModuleId moduleId = ModuleIdFor(path);
  std::string document, checksumFile;
  QVSectionId textId;
  int checksumOffset = 0, checksumSize = 0, checksumLine = 0;
  uint64_t baseAddress = 0;
  size_t sectionCount = 0;
  unsigned textAttributes = 0;
  {
    auto module = std::make_shared<QVModuleElf>(moduleId, path, 0, "symbol_probe_g_fp");
    QVModule::registerModule(module);
    std::shared_ptr<QVSymbol> checksum = module->symbolNamed("qvprobe_checksum");
    textId = checksum->symbolId().asSectionId();
    checksumOffset = checksum->offset();
    checksumSize = checksum->size();
    QVFileId file;
    checksum->sourceLineForOffset(2, file, checksumLine);
    checksumFile = file.path();
    baseAddress = module->baseAddress();
    sectionCount = module->sections().size();
    textAttributes = module->sectionWithId(textId)->attributes();
    document = ArchiveList("Session", [&](QVArchiver& archiver) {
      archiver.encodeObject(*QVSourceFile::sourceFileWithId(file), "SourceFile");
      archiver.encodeObject(*checksum, "Symbol");
      archiver.encodeObject(*module->symbolNamed("_ZN5probe11Accumulator4foldEi"), "Symbol");
      archiver.encodeObject(*module, "Module");
      archiver.encodeObject(*QVSystem::currentSystem(), "System");
    });
  }
  ASSERT_GT(checksumLine, 0);
  FlushRegistries();
  // Registered as a session file registers them: each kind once read.
  UnarchiveList(document, "Session", [](QVUnarchiver& unarchiver) {
    QVSourceFile::registerSourceFile(DecodeObject<QVSourceFile>(unarchiver, "SourceFile"));
    QVSymbol::registerSymbol(DecodeObject<QVSymbol>(unarchiver, "Symbol"));
    QVSymbol::registerSymbol(DecodeObject<QVSymbol>(unarchiver, "Symbol"));
    QVModule::registerModule(DecodeObject<QVModule>(unarchiver, "Module"));
    QVSystem::registerSystem(DecodeObject<QVSystem>(unarchiver, "System"));
  });
  const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(moduleId);
  ASSERT_TRUE(module);
  EXPECT_EQ(dynamic_cast<QVModuleElf*>(module.get()), nullptr) << "decoded module is an ELF module";
  EXPECT_EQ(std::make_tuple(module->path(), module->name(), module->architecture(), module->baseAddress()),
            std::make_tuple(path, std::string("symbol_probe_g_fp"), LocalMachineArchitecture(), baseAddress));
  EXPECT_EQ(module->sections().size(), sectionCount);
  const std::shared_ptr<QVSection>& text = module->sectionWithId(textId);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->attributes(), textAttributes);
  QVRange<int> range;
  const std::shared_ptr<QVSymbol>& symbol =
      text->symbolAtSectionOffset(checksumOffset + checksumSize - 1, range, true);
  ASSERT_TRUE(symbol);
  EXPECT_EQ(symbol->name(), "qvprobe_checksum");
  EXPECT_EQ(range, QVRange<int>(checksumOffset, checksumSize));
  QVFileId file;
  int line = 0;
  EXPECT_TRUE(symbol->sourceLineForOffset(2, file, line));
  EXPECT_EQ(std::make_pair(file.path(), line), std::make_pair(checksumFile, checksumLine));
  EXPECT_TRUE(QVSourceFile::sourceFileWithId(file));
  EXPECT_TRUE(QVSystem::systemWithId(QVSystemId::currentSystemId()));
}
