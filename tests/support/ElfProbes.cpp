#include "support/ElfProbes.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <elf.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace Quorvel {
namespace test {

std::string ProbePath(const std::string& name) {
#ifdef QV_PROBE_DIR
  return std::string(QV_PROBE_DIR) + "/" + name;
#else
  return std::string(QV_TEST_BINARY_DIR) + "/programs/" + name;
#endif
}

std::string ProbeSourcePath() {
  // From the configured source tree, not __FILE__: build caches compile with
  // relative paths, which would tie the answer to the working directory.
  const std::string data = QV_TEST_DATA_DIR;
  return data.substr(0, data.rfind('/')) + "/programs/SymbolProbe.cpp";
}

bool ProbesAvailable() {
  return ::access(ProbePath("symbol_probe_g_fp").c_str(), R_OK) == 0 &&
         ::access(ProbePath("symbol_probe_stripped").c_str(), R_OK) == 0 &&
         ::access(ProbePath("symbol_probe_stripped.debug").c_str(), R_OK) == 0;
}

bool VdsoOfThisProcess(const char*& base, uint64_t& length) {
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(::getauxval(AT_SYSINFO_EHDR));
  if (header == nullptr) {
    return false;
  }
  // One mapping whose extent the program headers give; the section header
  // table sits inside it as well.
  base = reinterpret_cast<const char*>(header);
  const auto* programs = reinterpret_cast<const Elf64_Phdr*>(base + header->e_phoff);
  length = header->e_shoff + uint64_t(header->e_shnum) * header->e_shentsize;
  for (int i = 0; i < header->e_phnum; ++i) {
    if (programs[i].p_type == PT_LOAD) {
      length = std::max<uint64_t>(length, programs[i].p_offset + programs[i].p_filesz);
    }
  }
  return true;
}

std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool ToolAvailable(const std::string& tool) {
  int status = 0;
  RunCommand("command -v " + ShellQuote(tool) + " >/dev/null 2>&1", &status);
  return status == 0;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    if (status) {
      *status = -1;
    }
    return output;
  }
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    output.append(buffer, got);
  }
  const int result = ::pclose(pipe);
  if (status) {
    *status = (result != -1 && WIFEXITED(result)) ? WEXITSTATUS(result) : -1;
  }
  return output;
}

std::vector<NmSymbol> NmSymbols(const std::string& path, bool dynamic) {
  std::vector<NmSymbol> symbols;
  const std::string command =
      std::string("nm -S --defined-only ") + (dynamic ? "-D " : "") + ShellQuote(path) + " 2>/dev/null";
  std::istringstream lines(RunCommand(command));
  std::string line;
  // "value size type name" or, for symbols without a size, "value type name".
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    NmSymbol symbol;
    if (words.size() == 4 && words[2].size() == 1) {
      symbol.value = std::stoull(words[0], nullptr, 16);
      symbol.size = std::stoull(words[1], nullptr, 16);
      symbol.hasSize = true;
      symbol.type = words[2][0];
      symbol.name = words[3];
    } else if (words.size() == 3 && words[1].size() == 1) {
      symbol.value = std::stoull(words[0], nullptr, 16);
      symbol.type = words[1][0];
      symbol.name = words[2];
    } else {
      continue;
    }
    // The dynamic table's names carry their version ("name@@VERSION").
    const size_t version = symbol.name.find('@');
    if (dynamic && version != std::string::npos) {
      symbol.name.erase(version);
    }
    symbols.push_back(symbol);
  }
  return symbols;
}

int LineContaining(const std::string& path, const std::string& fragment) {
  std::ifstream in(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.find(fragment) != std::string::npos) {
      return number;
    }
  }
  return 0;
}

}  // namespace test
}  // namespace Quorvel
