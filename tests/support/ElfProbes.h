#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

// Helpers for the ELF and DWARF reader tests, which check the readers
// against the toolchain's own tools and against the probe programs' source.

// The probe programs of tests/programs, built beside the tests.
std::string ProbePath(const std::string& name);
// tests/programs/SymbolProbe.cpp, the probes' source.
std::string ProbeSourcePath();
// Whether the probes have been built (the "symbol_probes" target).
bool ProbesAvailable();

// The vdso the kernel mapped into this process: its first byte and the
// extent its headers give. False when there is none.
bool VdsoOfThisProcess(const char*& base, uint64_t& length);

// Whether a command is on PATH.
bool ToolAvailable(const std::string& tool);

// Runs a shell command and returns what it printed on stdout; status gets
// the exit status (-1 when the command could not be run).
std::string RunCommand(const std::string& command, int* status = nullptr);

// Quotes a word for the shell.
std::string ShellQuote(const std::string& word);

struct NmSymbol {
  std::string name;
  uint64_t value = 0;
  uint64_t size = 0;
  bool hasSize = false;
  char type = '?';
};

// The defined symbols binutils' nm lists for a file (-S, unmangled names),
// from the dynamic table when dynamic is set.
std::vector<NmSymbol> NmSymbols(const std::string& path, bool dynamic = false);

// 1-based number of the first line of a text file that contains the
// fragment; 0 when none does.
int LineContaining(const std::string& path, const std::string& fragment);

}  // namespace test
}  // namespace Quorvel
