// Feeds arbitrary bytes to the ELF reader as a memory image (the way the vdso
// is read), then to the symbol table and the DWARF line reader built on it.
// The files come from the profiled machine and may be truncated, corrupt or
// hostile; every input must end in an image whose error says why, or in
// answers, never in a crash, a read out of bounds or a hang.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "symbols/elf/QVDwarfLineTable.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace Quorvel;
  const auto image = std::make_shared<const QVElfImage>(data, size, "fuzz-input");
  if (!image->isValid()) return 0;
  (void)image->hasSymbolTable();
  (void)image->hasLineInfo();

  const QVElfSymbolTable symbols(*image);
  QVDwarfLineTable lines(image);
  // Ask about the start, the middle and the last byte of each executable
  // section: the reader's edges are where a corrupt table shows.
  for (const QVElfSection& section : image->sections()) {
    if (!section.isExecutable()) continue;
    for (const uint64_t address : {section.addr, section.addr + section.size / 2, section.addr + section.size - 1}) {
      (void)symbols.symbolAt(address);
      QVSourceLine line;
      (void)lines.sourceLineAt(address, line);
    }
    (void)lines.sourceLinesIn(section.addr, section.addr + section.size);
  }
  return 0;
}
