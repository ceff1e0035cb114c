#include "symbols/elf/QVElfImage.h"

#include <elf.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#include "support/ElfProbes.h"
#include "support/TestSupport.h"
#include "symbols/elf/QVDwarfLineTable.h"
#include "symbols/elf/QVElfSymbolTable.h"

using namespace Quorvel;
using namespace Quorvel::test;

namespace {

// binutils' view of a file's sections, "readelf -SW", as name -> (type
// word, address, offset, size): an independent reader to compare against.
struct ReadelfSection {
  std::string type;
  uint64_t addr = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
};
std::map<std::string, ReadelfSection> ReadelfSections(const std::string& path) {
  std::map<std::string, ReadelfSection> sections;
  std::istringstream lines(RunCommand("readelf -SW " + ShellQuote(path)));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t close = line.find(']');
    // Section 0 has no name, which would shift the columns.
    if (line.find("  [") != 0 || close == std::string::npos || line.find("Nr]") != std::string::npos ||
        line.find("[ 0]") != std::string::npos) {
      continue;
    }
    std::istringstream fields(line.substr(close + 1));
    std::string name;
    ReadelfSection section;
    std::string addr, offset, size;
    if (fields >> name >> section.type >> addr >> offset >> size) {
      section.addr = std::stoull(addr, nullptr, 16);
      section.offset = std::stoull(offset, nullptr, 16);
      section.size = std::stoull(size, nullptr, 16);
      sections[name] = section;
    }
  }
  return sections;
}

std::string ReadelfBuildId(const std::string& path) {
  std::istringstream lines(RunCommand("readelf -n " + ShellQuote(path)));
  std::string line;
  const std::string marker = "Build ID: ";
  while (std::getline(lines, line)) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) {
      return line.substr(at + marker.size());
    }
  }
  return "";
}

class QVElfImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolAvailable("readelf") || !ToolAvailable("nm")) {
      GTEST_SKIP() << "binutils (readelf, nm) are needed to cross-check the reader";
    }
  }
};

}  // namespace

TEST_F(QVElfImageTest, HeadersDebugInformationBuildIdAndDebugLinkMatchHowProgramsWereBuilt) {
  QVElfImage pie(ProbePath("symbol_probe_g_fp"));
  ASSERT_TRUE(pie.isValid()) << pie.error();
  EXPECT_TRUE(pie.is64Bit());
  EXPECT_EQ(pie.machine(), EM_X86_64);
  EXPECT_EQ(pie.architecture(), QVArchitectureX86_64);
  EXPECT_EQ(pie.type(), QVElfType::SharedObject);  // position-independent executables are ET_DYN
  EXPECT_EQ(pie.baseAddress(), 0u);
  EXPECT_FALSE(pie.hasDebugLink());
  QVElfImage fixed(ProbePath("symbol_probe_nopie"));
  ASSERT_TRUE(fixed.isValid()) << fixed.error();
  EXPECT_EQ(fixed.type(), QVElfType::Executable);
  // The x86-64 linker's default image base for -no-pie.
  EXPECT_EQ(fixed.baseAddress(), 0x400000u);

  // The debug-only file holds no code of its own.
  QVElfImage debug(ProbePath("symbol_probe_stripped.debug"));
  ASSERT_TRUE(debug.isValid()) << debug.error();
  ASSERT_NE(debug.sectionNamed(".text"), nullptr);
  EXPECT_FALSE(debug.sectionNamed(".text")->occupiesFile());

  // Splitting the debug information keeps the build-id in both halves.
  const std::string expected = ReadelfBuildId(ProbePath("symbol_probe_g_fp"));
  ASSERT_EQ(expected.size(), 40u) << "--build-id=sha1 gives 20 bytes";
  QVElfImage stripped(ProbePath("symbol_probe_stripped"));
  EXPECT_EQ(std::make_tuple(pie.buildId(), stripped.buildId(), debug.buildId()),
            std::make_tuple(expected, expected, expected));
  EXPECT_EQ(QVElfImage(ProbePath("symbol_probe_nobuildid")).buildId(), "");
  // objcopy --add-gnu-debuglink records the file's base name and the zlib
  // CRC-32 of its whole contents.
  EXPECT_EQ(stripped.debugLinkName(), "symbol_probe_stripped.debug");
  const std::string bytes = ReadWholeFile(ProbePath("symbol_probe_stripped.debug"));
  const uint32_t crc = static_cast<uint32_t>(
      crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  EXPECT_EQ(stripped.debugLinkCrc(), crc);
}

TEST_F(QVElfImageTest, SectionsAndSegmentsAgreeWithBinutils) {
  for (const char* name : {"symbol_probe_g_fp", "symbol_probe_nopie", "symbol_probe_stripped",
                           "symbol_probe_stripped.debug"}) {
    const std::string path = ProbePath(name);
    QVElfImage image(path);
    ASSERT_TRUE(image.isValid()) << image.error();
    const auto expected = ReadelfSections(path);
    ASSERT_FALSE(expected.empty());
    size_t compared = 0;
    for (const QVElfSection& section : image.sections()) {
      if (section.index == 0) {
        continue;
      }
      auto found = expected.find(section.name);
      ASSERT_NE(found, expected.end()) << name << " " << section.name;
      EXPECT_EQ(section.addr, found->second.addr) << name << " " << section.name;
      EXPECT_EQ(section.offset, found->second.offset) << name << " " << section.name;
      EXPECT_EQ(section.size, found->second.size) << name << " " << section.name;
      EXPECT_EQ(section.occupiesFile(), found->second.type != "NOBITS") << name << " " << section.name;
      ++compared;
    }
    EXPECT_EQ(compared, expected.size()) << name;
    const QVElfSection* text = image.sectionNamed(".text");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(text->isExecutable());
    EXPECT_EQ(image.sectionAtIndex(text->index), text);

    // readelf -lW: every LOAD line with offset, vaddr, filesz, memsz.
    std::istringstream lines(RunCommand("readelf -lW " + ShellQuote(path)));
    std::string line;
    std::vector<QVElfSegment> loads;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string type, offset, vaddr, paddr, filesz, memsz;
      if (fields >> type >> offset >> vaddr >> paddr >> filesz >> memsz && type == "LOAD") {
        QVElfSegment segment;
        segment.offset = std::stoull(offset, nullptr, 16);
        segment.vaddr = std::stoull(vaddr, nullptr, 16);
        segment.filesz = std::stoull(filesz, nullptr, 16);
        segment.memsz = std::stoull(memsz, nullptr, 16);
        loads.push_back(segment);
      }
    }
    ASSERT_EQ(image.loadSegments().size(), loads.size()) << name;
    bool executable = false;
    for (size_t i = 0; i < loads.size(); ++i) {
      EXPECT_EQ(image.loadSegments()[i].vaddr, loads[i].vaddr) << name;
      EXPECT_EQ(image.loadSegments()[i].offset, loads[i].offset) << name;
      EXPECT_EQ(image.loadSegments()[i].filesz, loads[i].filesz) << name;
      EXPECT_EQ(image.loadSegments()[i].memsz, loads[i].memsz) << name;
      executable = executable || (image.loadSegments()[i].flags & PF_X);
    }
    EXPECT_TRUE(executable) << name;
  }
}

TEST_F(QVElfImageTest, MemoryImageReadsLikeTheFile) {
  const std::string path = ProbePath("symbol_probe_g_fp");
  QVElfImage file(path);
  std::string bytes = ReadWholeFile(path);
  QVElfImage memory(bytes.data(), bytes.size(), "copy");
  // The image works on its own copy: scribbling over the source must not
  // change what it reads.
  std::fill(bytes.begin(), bytes.end(), '\0');
  ASSERT_TRUE(memory.isValid()) << memory.error();
  EXPECT_TRUE(memory.isMemoryImage());
  EXPECT_EQ(memory.path(), "copy");
  EXPECT_EQ(memory.buildId(), file.buildId());
  EXPECT_EQ(memory.sections().size(), file.sections().size());
  EXPECT_EQ(memory.loadSegments().size(), file.loadSegments().size());
  QVElfSymbolTable symbols(memory);
  ASSERT_NE(symbols.symbolNamed("qvprobe_add"), nullptr);
}

TEST_F(QVElfImageTest, FilesThatAreNotElfOrAreCutShortAreRejectedWithReasons) {
  ScratchDirectory scratch("qvelf");
  QVElfImage missing(scratch.file("missing"));
  EXPECT_FALSE(missing.isValid());
  EXPECT_NE(missing.error().find("cannot open"), std::string::npos) << missing.error();

  QVElfImage folder(scratch.path());
  EXPECT_FALSE(folder.isValid());
  EXPECT_NE(folder.error().find("not a regular file"), std::string::npos) << folder.error();

  WriteWholeFile(scratch.file("text"), "#!/bin/sh\necho not an image\n");
  QVElfImage text(scratch.file("text"));
  EXPECT_FALSE(text.isValid());
  EXPECT_NE(text.error().find("not an ELF file"), std::string::npos) << text.error();

  EXPECT_FALSE(QVElfImage(nullptr, 0, "nothing").isValid());
  EXPECT_EQ(QVElfImage(scratch.file("text")).elf(), nullptr);

  // A real program cut at any length is rejected: every length in the
  // headers, then about 300 lengths spread over the rest; ld and strip put
  // the section header table last, so every cut loses part of it.
  const std::string original = ReadWholeFile(ProbePath("symbol_probe_g_fp"));
  const std::string path = scratch.file("truncated");
  std::vector<size_t> lengths;
  for (size_t length = 0; length < 256; ++length) {
    lengths.push_back(length);
  }
  for (size_t length = 256; length < original.size(); length += original.size() / 300 + 1) {
    lengths.push_back(length);
  }
  lengths.push_back(original.size() - 1);
  for (size_t length : lengths) {
    const std::string bytes = original.substr(0, length);
    WriteWholeFile(path, bytes);
    QVElfImage image(path);
    EXPECT_FALSE(image.isValid()) << "length " << length;
    EXPECT_FALSE(image.error().empty()) << "length " << length;
    QVElfImage memory(bytes.data(), bytes.size(), "memory");
    EXPECT_FALSE(memory.isValid()) << "length " << length;
  }
}

namespace {

// Everything a later reader would do with an image, to make sure a
// damaged one that passes the header checks still reads safely.
void ExerciseReaders(const std::string& path, const std::string& bytes) {
  auto image = std::make_shared<QVElfImage>(path);
  QVElfImage memory(bytes.data(), bytes.size(), "memory");
  EXPECT_EQ(image->isValid(), memory.isValid()) << image->error() << " / " << memory.error();
  if (!image->isValid()) {
    EXPECT_FALSE(image->error().empty());
    return;
  }
  QVElfSymbolTable symbols(*image);
  QVDwarfLineTable lines(image);
  for (const QVElfSymbol& symbol : symbols.symbols()) {
    symbols.symbolAt(symbol.value);
    QVSourceLine line;
    lines.sourceLineAt(symbol.value, line);
    lines.sourceLinesIn(symbol.value, symbol.value + symbol.size);
  }
}

}  // namespace

TEST_F(QVElfImageTest, DamagedSectionHeadersNeverCrashTheReaders) {
  const std::string original = ReadWholeFile(ProbePath("symbol_probe_g_fp"));
  Elf64_Ehdr header;
  std::memcpy(&header, original.data(), sizeof(header));
  ScratchDirectory scratch("qvelf");
  const std::string path = scratch.file("damaged");

  // Writes the original with the named section moved to `offset` (and, if
  // given, resized) and opens it.
  const QVElfImage probe(ProbePath("symbol_probe_g_fp"));
  auto moved = [&](const char* name, uint64_t offset, const uint64_t* size) {
    std::string bytes = original;
    Elf64_Shdr section;
    const size_t at = header.e_shoff + probe.sectionNamed(name)->index * sizeof(Elf64_Shdr);
    std::memcpy(&section, bytes.data() + at, sizeof(section));
    section.sh_offset = offset;
    section.sh_size = size ? *size : section.sh_size;
    std::memcpy(&bytes[at], &section, sizeof(section));
    WriteWholeFile(path, bytes);
    return std::make_unique<QVElfImage>(path);
  };
  // A section whose contents lie past the end of the file.
  auto past = moved(".text", original.size() - 4, nullptr);
  EXPECT_FALSE(past->isValid());
  EXPECT_NE(past->error().find("lies outside the file"), std::string::npos) << past->error();
  // An empty section placed exactly at the end of the file touches no byte
  // outside it; strip and objcopy leave such sections behind.
  const uint64_t empty = 0;
  auto atEnd = moved(".comment", original.size(), &empty);
  EXPECT_TRUE(atEnd->isValid()) << atEnd->error();
  // A section header table that starts past the end of the file.
  {
    std::string bytes = original;
    Elf64_Ehdr moved = header;
    moved.e_shoff = bytes.size() + 64;
    std::memcpy(&bytes[0], &moved, sizeof(moved));
    WriteWholeFile(path, bytes);
    EXPECT_FALSE(QVElfImage(path).isValid());
  }
  // Random damage inside the section header table, with a fixed seed so a
  // failure can be replayed: each round flips a few bytes and then uses
  // every reader on what still opens.
  std::mt19937 random(20261205);
  const size_t tableSize = size_t(header.e_shnum) * header.e_shentsize;
  ASSERT_LE(header.e_shoff + tableSize, original.size());
  std::uniform_int_distribution<size_t> position(0, tableSize - 1);
  std::uniform_int_distribution<int> value(1, 255);
  int rejected = 0;
  const int rounds = 300;
  for (int round = 0; round < rounds; ++round) {
    std::string bytes = original;
    for (int flip = 0; flip < 3; ++flip) {
      bytes[header.e_shoff + position(random)] ^= static_cast<char>(value(random));
    }
    WriteWholeFile(path, bytes);
    ExerciseReaders(path, bytes);
    rejected += QVElfImage(path).isValid() ? 0 : 1;
  }
  // Most random flips land in offsets, sizes, names and types that the
  // checks catch; some land in fields that do not matter.
  EXPECT_GT(rejected, 0);
  EXPECT_LT(rejected, rounds);
}
