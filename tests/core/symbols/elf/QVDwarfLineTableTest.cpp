#include "symbols/elf/QVDwarfLineTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <thread>

#include <boost/algorithm/string/predicate.hpp>

#include "support/ElfProbes.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

struct ProbeFunction {
  const char* symbol;
  const char* definition;  // the text of the line that defines it
  const char* end;         // the text of its closing brace's line
};

// The definitions as SymbolProbe.cpp spells them; their line numbers are
// read from the source, so editing the probe does not break the test.
const ProbeFunction kFunctions[] = {
    {"qvprobe_add", "int qvprobe_add(int a, int b) {", "// end qvprobe_add"},
    {"qvprobe_checksum", "long qvprobe_checksum(const char* text) {", "// end qvprobe_checksum"},
    {"_ZL21qvprobe_static_helperi", "int qvprobe_static_helper(int value) {", "// end qvprobe_static_helper"},
    {"_ZN5probe11Accumulator4foldEi", "long Accumulator::fold(int value) {", "// end fold"},
};

// Checks one image's lines for the probe functions, with symbols from
// symbolImage (the image itself or its debug file).
void ExpectProbeLines(QVDwarfLineTable& lines, const QVElfSymbolTable& symbols) {
  for (const ProbeFunction& function : kFunctions) {
    const int defined = LineContaining(QV_PROBE_SOURCE, function.definition);
    const int ended = LineContaining(QV_PROBE_SOURCE, function.end);
    ASSERT_GT(defined, 0) << function.definition;
    const QVElfSymbol* symbol = symbols.symbolNamed(function.symbol);
    ASSERT_NE(symbol, nullptr) << function.symbol;

    QVSourceLine line;
    ASSERT_TRUE(lines.sourceLineAt(symbol->value, line)) << function.symbol;
    EXPECT_EQ(line.line, defined) << function.symbol;
    EXPECT_TRUE(boost::algorithm::ends_with(line.file, "/SymbolProbe.cpp")) << line.file;
    EXPECT_GT(line.column, 0) << function.symbol;

    // Every byte of the function lies within its own lines.
    for (uint64_t address = symbol->value; address < symbol->value + symbol->size; ++address) {
      ASSERT_TRUE(lines.sourceLineAt(address, line)) << function.symbol << " +" << (address - symbol->value);
      EXPECT_GE(line.line, defined) << function.symbol;
      EXPECT_LE(line.line, ended) << function.symbol;
    }

    const auto spans = lines.sourceLinesIn(symbol->value, symbol->value + symbol->size);
    ASSERT_EQ(spans.size(), 1u) << function.symbol;
    EXPECT_TRUE(boost::algorithm::ends_with(spans[0].file, "/SymbolProbe.cpp"));
    EXPECT_EQ(spans[0].firstLine, defined) << function.symbol;
    // The closing brace is the last line with code (the epilogue).
    EXPECT_EQ(spans[0].lastLine, ended) << function.symbol;
  }
}

}  // namespace

// Every build with lines, compressed debug sections (zlib and the older
// .zdebug form) and a stripped program read through its separate debug file.
TEST(QVDwarfLineTableTest, ProbeFunctionsStartOnTheLineThatDefinesThemInEveryBuildWithLines) {
  const std::pair<const char*, const char*> builds[] = {
      {"symbol_probe_g_fp", ""},   {"symbol_probe_g_nofp", ""},     {"symbol_probe_nopie", ""},
      {"symbol_probe_zlib", ""},   {"symbol_probe_zlib_gnu", ""},   {"symbol_probe_stripped", "symbol_probe_stripped.debug"}};
  for (const auto& build : builds) {
    SCOPED_TRACE(build.first);
    QVElfImage program(ProbePath(build.first));
    auto image = std::make_shared<QVElfImage>(ProbePath(*build.second ? build.second : build.first));
    ASSERT_TRUE(image->isValid()) << image->error();
    EXPECT_TRUE(image->hasLineInfo());
    auto symbols = *build.second ? std::make_unique<QVElfSymbolTable>(program, *image)
                                 : std::make_unique<QVElfSymbolTable>(program);
    QVDwarfLineTable lines(image);
    ExpectProbeLines(lines, *symbols);
    EXPECT_TRUE(lines.error().empty()) << lines.error();
  }
  EXPECT_NE(QVElfImage(ProbePath("symbol_probe_zlib_gnu")).sectionNamed(".zdebug_line"), nullptr);
}

TEST(QVDwarfLineTableTest, NothingIsReadBeforeTheFirstQuestionNorFoundOutsideAUnitOrInABuildWithoutLines) {
  auto image = std::make_shared<QVElfImage>(ProbePath("symbol_probe_g_fp"));
  QVDwarfLineTable lines(image);
  EXPECT_FALSE(lines.isLoaded());
  EXPECT_EQ(lines.decodedUnitCount(), 0u);
  QVSourceLine line;
  QVElfSymbolTable symbols(*image);
  const QVElfSymbol* add = symbols.symbolNamed("qvprobe_add");
  ASSERT_NE(add, nullptr);
  EXPECT_TRUE(lines.sourceLineAt(add->value, line));
  EXPECT_TRUE(lines.isLoaded());
  EXPECT_EQ(lines.decodedUnitCount(), 1u);
  // Addresses outside any unit have no line.
  EXPECT_FALSE(lines.sourceLineAt(0, line));
  EXPECT_FALSE(lines.sourceLineAt(~uint64_t(0), line));
  EXPECT_TRUE(lines.sourceLinesIn(100, 100).empty());

  // Builds without debug information answer nothing.
  for (const char* name : {"symbol_probe_nog_fp", "symbol_probe_nog_nofp", "symbol_probe_nolines",
                           "symbol_probe_stripped"}) {
    auto bare = std::make_shared<QVElfImage>(ProbePath(name));
    ASSERT_TRUE(bare->isValid());
    QVDwarfLineTable none(bare);
    const QVElfSection* text = bare->sectionNamed(".text");
    ASSERT_NE(text, nullptr);
    EXPECT_FALSE(none.sourceLineAt(text->addr, line)) << name;
    EXPECT_TRUE(none.sourceLinesIn(text->addr, text->addr + text->size).empty()) << name;
    EXPECT_NE(none.error().find("no line information"), std::string::npos) << none.error();
  }
}

namespace {

// Up to count addresses spread over the sized functions of a library: the
// start, the middle and the last byte of every k-th function.
std::vector<uint64_t> SampleAddresses(const QVElfSymbolTable& symbols, size_t count) {
  std::vector<const QVElfSymbol*> functions;
  for (const QVElfSymbol& symbol : symbols.symbols()) {
    if (symbol.isFunction() && symbol.size > 0) {
      functions.push_back(&symbol);
    }
  }
  std::vector<uint64_t> addresses;
  const size_t stride = std::max<size_t>(1, functions.size() * 3 / count);
  for (size_t i = 0; i < functions.size() && addresses.size() < count; i += stride) {
    addresses.push_back(functions[i]->value);
    addresses.push_back(functions[i]->value + functions[i]->size / 2);
    addresses.push_back(functions[i]->value + functions[i]->size - 1);
  }
  return addresses;
}

}  // namespace

TEST(QVDwarfLineTableTest, AgreesWithElfutilsAddr2lineOnTheProjectsLibraries) {
  if (!ToolAvailable("eu-addr2line")) {
    GTEST_SKIP() << "eu-addr2line (elfutils) is needed as the reference";
  }
  size_t compared = 0;
  for (const std::string& library : {std::string(QV_QVCORE_LIBRARY), std::string(QV_QVSYMBOL_LIBRARY)}) {
    auto image = std::make_shared<QVElfImage>(library);
    ASSERT_TRUE(image->isValid()) << image->error();
    if (!image->hasLineInfo()) {
      GTEST_SKIP() << library << " was built without -g";
    }
    QVElfSymbolTable symbols(*image);
    QVDwarfLineTable lines(image);
    const std::vector<uint64_t> addresses = SampleAddresses(symbols, 300);
    ASSERT_GT(addresses.size(), 30u) << library;
    std::ostringstream command;
    command << "eu-addr2line -e " << ShellQuote(library);
    for (uint64_t address : addresses) {
      command << " 0x" << std::hex << address;
    }
    std::istringstream output(RunCommand(command.str()));
    std::string expected;
    for (uint64_t address : addresses) {
      ASSERT_TRUE(std::getline(output, expected)) << library;
      QVSourceLine line;
      const bool found = lines.sourceLineAt(address, line);
      // eu-addr2line prints "??:0" where it knows nothing, else
      // "file:line" with ":column" when the row has one.
      if (expected.rfind("??", 0) == 0) {
        EXPECT_FALSE(found && line.line > 0) << std::hex << address << " " << line.file << ":" << line.line;
        continue;
      }
      ASSERT_TRUE(found) << std::hex << address << " expected " << expected;
      std::string ours = line.file + ":" + std::to_string(line.line);
      if (line.column > 0) {
        ours += ":" + std::to_string(line.column);
      }
      EXPECT_EQ(ours, expected) << library << " 0x" << std::hex << address;
      ++compared;
    }
  }
  EXPECT_GT(compared, 100u);
}

TEST(QVDwarfLineTableTest, ConcurrentQuestionsGetTheSameAnswers) {
  auto image = std::make_shared<QVElfImage>(QV_QVSYMBOL_LIBRARY);
  ASSERT_TRUE(image->isValid());
  if (!image->hasLineInfo()) {
    GTEST_SKIP() << "the library was built without -g";
  }
  QVElfSymbolTable symbols(*image);
  const std::vector<uint64_t> addresses = SampleAddresses(symbols, 600);
  QVDwarfLineTable reference(image);
  std::vector<std::string> expected;
  for (uint64_t address : addresses) {
    QVSourceLine line;
    expected.push_back(reference.sourceLineAt(address, line) ? line.file + ":" + std::to_string(line.line) : "");
  }
  // A fresh table, so that the threads race on loading and decoding too.
  QVDwarfLineTable shared(image);
  std::vector<size_t> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      std::vector<size_t> order(addresses.size());
      for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
      }
      std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<unsigned>(t)));
      for (size_t i : order) {
        QVSourceLine line;
        const std::string got = shared.sourceLineAt(addresses[i], line) ? line.file + ":" + std::to_string(line.line) : "";
        if (got != expected[i]) {
          ++mismatches[t];
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (size_t count : mismatches) {
    EXPECT_EQ(count, 0u);
  }
}
