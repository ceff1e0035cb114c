#include "symbols/elf/QVElfSymbolTable.h"

#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/ElfProbes.h"
#include "symbols/elf/QVElfImage.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

// The probe's functions that every build has, as the compiler names them.
const char* const kProbeFunctions[] = {"qvprobe_add", "qvprobe_checksum", "_ZL21qvprobe_static_helperi",
                                       "_ZN5probe11Accumulator4foldEi", "qvprobe_asm_sized", "main"};

class QVElfSymbolTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolAvailable("nm")) {
      GTEST_SKIP() << "binutils' nm is needed to cross-check the symbol reader";
    }
  }
};

// Every sized function symbol nm reports must be found by name with nm's
// value and size, and an address inside it must resolve to it or an alias.
void ExpectAgreesWithNm(const std::string& path, const QVElfSymbolTable& table, bool dynamic) {
  const std::vector<NmSymbol> listed = NmSymbols(path, dynamic);
  // Local names repeat across compilation units, and versioned dynamic
  // names repeat once per version; only unique names can be compared by
  // name.
  std::map<std::string, int> occurrences;
  for (const NmSymbol& expected : listed) {
    ++occurrences[expected.name];
  }
  size_t checked = 0;
  for (const NmSymbol& expected : listed) {
    if (!expected.hasSize || expected.size == 0 || (expected.type != 'T' && expected.type != 't')) {
      continue;
    }
    const QVElfSymbol* found = table.symbolNamed(expected.name);
    ASSERT_NE(found, nullptr) << path << ": " << expected.name;
    const uint64_t last = expected.value + expected.size - 1;
    const QVElfSymbol* covering = table.symbolAt(last);
    ASSERT_NE(covering, nullptr) << path << ": " << expected.name;
    EXPECT_TRUE(covering->covers(last)) << path << ": " << expected.name;
    if (occurrences[expected.name] == 1) {
      EXPECT_EQ(found->value, expected.value) << path << ": " << expected.name;
      EXPECT_EQ(found->size, expected.size) << path << ": " << expected.name;
      EXPECT_TRUE(found->isFunction()) << path << ": " << expected.name;
      ++checked;
    }
  }
  EXPECT_GT(checked, 0u) << path;
  // Imports are listed with section 0 and value 0 (or a PLT slot); taking
  // them in would put a second, wrong "malloc" beside the real one.
  for (const QVElfSymbol& symbol : table.symbols()) {
    EXPECT_NE(symbol.sectionIndex, SHN_UNDEF) << path << ": " << symbol.name;
  }
}

}  // namespace

TEST_F(QVElfSymbolTableTest, ProbeFunctionsHaveNmValuesAndSizesInEveryBuild) {
  for (const char* name : {"symbol_probe_g_fp", "symbol_probe_g_nofp", "symbol_probe_nog_fp",
                           "symbol_probe_nog_nofp", "symbol_probe_nopie", "symbol_probe_nolines"}) {
    QVElfImage image(ProbePath(name));
    ASSERT_TRUE(image.isValid()) << image.error();
    QVElfSymbolTable table(image);
    EXPECT_EQ(table.source(), QVElfSymbolTable::Source::SymbolTable) << name;
    EXPECT_TRUE(table.error().empty()) << table.error();
    // nm's list holds every probe function, each sized and unique by name.
    ASSERT_NE(table.symbolNamed("_ZL21qvprobe_static_helperi"), nullptr) << name;
    ASSERT_NE(table.symbolNamed("qvprobe_add"), nullptr) << name;
    EXPECT_EQ(table.symbolNamed("_ZL21qvprobe_static_helperi")->binding, STB_LOCAL);
    EXPECT_EQ(table.symbolNamed("qvprobe_add")->binding, STB_GLOBAL);
    ExpectAgreesWithNm(ProbePath(name), table, false);
  }
}

TEST_F(QVElfSymbolTableTest, AddressLookupCoversEachFunctionExactlyLabelsStayApartUnsizedCodeReachesOn) {
  QVElfImage image(ProbePath("symbol_probe_g_fp"));
  QVElfSymbolTable table(image);
  for (const char* function : kProbeFunctions) {
    const QVElfSymbol* symbol = table.symbolNamed(function);
    ASSERT_NE(symbol, nullptr) << function;
    for (uint64_t address = symbol->value; address < symbol->value + symbol->size; ++address) {
      const QVElfSymbol* found = table.symbolAt(address);
      ASSERT_NE(found, nullptr) << function << " +" << (address - symbol->value);
      // qvprobe_add has an alias; the lookup prefers the lower name.
      EXPECT_EQ(found->name, function) << function << " +" << (address - symbol->value);
    }
  }
  // The alias shares the function's address and size.
  const QVElfSymbol* alias = table.symbolNamed("qvprobe_alias");
  ASSERT_NE(alias, nullptr);
  EXPECT_EQ(alias->value, table.symbolNamed("qvprobe_add")->value);
  // Nothing lies below the first section.
  EXPECT_EQ(table.symbolAt(0), nullptr);

  // The assembler label inside qvprobe_asm_sized is NOTYPE with size 0.
  EXPECT_TRUE(table.isLabelOnly("qvprobe_asm_label"));
  EXPECT_EQ(table.symbolNamed("qvprobe_asm_label"), nullptr);
  auto label = std::find_if(table.labels().begin(), table.labels().end(),
                            [](const QVElfSymbol& symbol) { return symbol.name == "qvprobe_asm_label"; });
  ASSERT_NE(label, table.labels().end());
  const QVElfSymbol* around = table.symbolAt(label->value);
  ASSERT_NE(around, nullptr);
  EXPECT_EQ(around->name, "qvprobe_asm_sized");

  // qvprobe_asm_unsized has no .size: its addresses resolve to it as the
  // nearest preceding symbol, and it reaches no further than its section.
  const QVElfSymbol* unsized = table.symbolNamed("qvprobe_asm_unsized");
  ASSERT_NE(unsized, nullptr);
  EXPECT_EQ(unsized->size, 0u);
  const QVElfSymbol* found = table.symbolAt(unsized->value + 3);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->name, "qvprobe_asm_unsized");
  const QVElfSection* text = image.sectionAtIndex(unsized->sectionIndex);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(table.symbolAt(text->addr + text->size + 0x100000), nullptr);
}

TEST_F(QVElfSymbolTableTest, StrippedFilesFallBackToDynamicSymbols) {
  QVElfImage stripped(ProbePath("symbol_probe_stripped"));
  QVElfSymbolTable dynamic(stripped);
  EXPECT_EQ(dynamic.source(), QVElfSymbolTable::Source::DynamicSymbolTable);
  // -rdynamic exported the global functions; the file-local one is gone.
  ASSERT_NE(dynamic.symbolNamed("qvprobe_checksum"), nullptr);
  EXPECT_EQ(dynamic.symbolNamed("_ZL21qvprobe_static_helperi"), nullptr);
  ExpectAgreesWithNm(ProbePath("symbol_probe_stripped"), dynamic, true);

  // With the split-off debug file the full table is back, at the addresses
  // of the stripped file.
  QVElfImage debug(ProbePath("symbol_probe_stripped.debug"));
  QVElfSymbolTable full(stripped, debug);
  EXPECT_EQ(full.source(), QVElfSymbolTable::Source::SymbolTable);
  QVElfSymbolTable original(QVElfImage(ProbePath("symbol_probe_g_fp")));
  for (const char* function : kProbeFunctions) {
    const QVElfSymbol* symbol = full.symbolNamed(function);
    ASSERT_NE(symbol, nullptr) << function;
    EXPECT_EQ(symbol->value, original.symbolNamed(function)->value) << function;
    EXPECT_EQ(symbol->size, original.symbolNamed(function)->size) << function;
    EXPECT_EQ(full.symbolAt(symbol->value + 1)->name, function);
  }
  EXPECT_EQ(full.symbols().size(), original.symbols().size());

  // A "debug file" that is just the stripped file again gives no more than
  // the dynamic table.
  QVElfSymbolTable fromItself(stripped, stripped);
  EXPECT_EQ(fromItself.source(), QVElfSymbolTable::Source::DynamicSymbolTable);
}

TEST_F(QVElfSymbolTableTest, SharedLibrarySymbolsAgreeWithNm) {
  // libstdc++ as this test links it: large, and shipped stripped to its
  // dynamic symbol table by distributions.
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::terminate), &info), 0);
  const std::string path = info.dli_fname;
  QVElfImage image(path);
  ASSERT_TRUE(image.isValid()) << image.error();
  QVElfSymbolTable table(image);
  ASSERT_NE(table.source(), QVElfSymbolTable::Source::None);
  ExpectAgreesWithNm(path, table, table.source() == QVElfSymbolTable::Source::DynamicSymbolTable);

  // The project's own library carries a full table.
  QVElfImage core(QV_QVSYMBOL_LIBRARY);
  QVElfSymbolTable coreTable(core);
  EXPECT_EQ(coreTable.source(), QVElfSymbolTable::Source::SymbolTable);
  ExpectAgreesWithNm(QV_QVSYMBOL_LIBRARY, coreTable, false);
}

TEST_F(QVElfSymbolTableTest, VdsoOfThisProcessReadsFromMemoryWithItsSymbols) {
  const char* base = nullptr;
  uint64_t length = 0;
  if (!VdsoOfThisProcess(base, length)) {
    GTEST_SKIP() << "the kernel maps no vdso into this process";
  }
  QVElfImage vdso(base, length, "vdso");
  ASSERT_TRUE(vdso.isValid()) << vdso.error();
  EXPECT_EQ(vdso.architecture(), QVElfImage("/proc/self/exe").architecture());
  EXPECT_EQ(vdso.type(), QVElfType::SharedObject);
  EXPECT_TRUE(vdso.hasDynamicSymbolTable());
  EXPECT_FALSE(vdso.loadSegments().empty());
  QVElfSymbolTable table(vdso);
  ASSERT_NE(table.source(), QVElfSymbolTable::Source::None);
  const QVElfSymbol* clock = table.symbolNamed("__vdso_clock_gettime");
  ASSERT_NE(clock, nullptr);
  EXPECT_TRUE(clock->isFunction());
  EXPECT_GT(clock->size, 0u);
  EXPECT_EQ(table.symbolAt(clock->value)->value, clock->value);

  // The dynamic linker found the same function at the vdso's load bias.
  void* handle = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (handle) {
    void* live = dlsym(handle, "__vdso_clock_gettime");
    if (live) {
      EXPECT_EQ(reinterpret_cast<uint64_t>(live) - reinterpret_cast<uint64_t>(base),
                clock->value - vdso.baseAddress());
    }
    dlclose(handle);
  }
}
