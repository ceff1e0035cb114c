// Address resolution speed of the ELF and DWARF readers on real libraries:
// symbol lookups and source-line lookups for 100,000 random code addresses,
// and what the first line lookup in a module costs (opening its DWARF data
// and decoding one unit's line program).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <exception>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "symbols/elf/QVDwarfLineTable.h"
#include "symbols/elf/QVElfImage.h"
#include "symbols/elf/QVElfSymbolTable.h"

using namespace Quorvel;

namespace {

constexpr size_t kAddressCount = 100000;

std::string LibraryOf(void* address) {
  Dl_info info;
  return dladdr(address, &info) && info.dli_fname ? info.dli_fname : "";
}

// The project's core library as this process mapped it: it is built with
// debug information, so its lines are real.
std::string CoreLibrary() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    const size_t slash = line.find('/');
    if (slash != std::string::npos && line.find("libQVCore.so") != std::string::npos) {
      return line.substr(slash);
    }
  }
  return "";
}

std::string StdLibrary() { return LibraryOf(reinterpret_cast<void*>(&std::terminate)); }

// Uniform random addresses over the code sections, with a fixed seed so
// runs compare.
std::vector<uint64_t> RandomCodeAddresses(const QVElfImage& image) {
  std::vector<const QVElfSection*> code;
  uint64_t total = 0;
  for (const QVElfSection& section : image.sections()) {
    if (section.isExecutable() && section.size > 0) {
      code.push_back(&section);
      total += section.size;
    }
  }
  std::vector<uint64_t> addresses;
  if (total == 0) {
    return addresses;
  }
  std::mt19937_64 random(42);
  std::uniform_int_distribution<uint64_t> pick(0, total - 1);
  for (size_t i = 0; i < kAddressCount; ++i) {
    uint64_t offset = pick(random);
    for (const QVElfSection* section : code) {
      if (offset < section->size) {
        addresses.push_back(section->addr + offset);
        break;
      }
      offset -= section->size;
    }
  }
  return addresses;
}

void SymbolLookups(benchmark::State& state, const std::string& path) {
  QVElfImage image(path);
  if (!image.isValid()) {
    state.SkipWithError(("cannot read " + path).c_str());
    return;
  }
  QVElfSymbolTable table(image);
  const std::vector<uint64_t> addresses = RandomCodeAddresses(image);
  size_t found = 0;
  for (auto _ : state) {
    for (uint64_t address : addresses) {
      const QVElfSymbol* symbol = table.symbolAt(address);
      found += symbol != nullptr;
      benchmark::DoNotOptimize(symbol);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * addresses.size()));
  state.counters["symbols"] = static_cast<double>(table.symbols().size());
  state.counters["resolved"] = static_cast<double>(found) / static_cast<double>(state.iterations() * addresses.size());
}

void BM_SymbolLookupLibStdCxx(benchmark::State& state) { SymbolLookups(state, StdLibrary()); }
void BM_SymbolLookupQVCore(benchmark::State& state) { SymbolLookups(state, CoreLibrary()); }

// A fresh line table each iteration: the first question opens the DWARF
// data and decodes the unit that holds the address.
void BM_FirstLineLookup(benchmark::State& state) {
  auto image = std::make_shared<QVElfImage>(CoreLibrary());
  if (!image->isValid() || !image->hasLineInfo()) {
    state.SkipWithError("libQVCore has no line information");
    return;
  }
  const std::vector<uint64_t> addresses = RandomCodeAddresses(*image);
  size_t next = 0;
  for (auto _ : state) {
    QVDwarfLineTable lines(image);
    QVSourceLine line;
    benchmark::DoNotOptimize(lines.sourceLineAt(addresses[next++ % addresses.size()], line));
  }
}

// Opening the file as well, as the first sample in a new module would.
void BM_FirstLineLookupWithOpen(benchmark::State& state) {
  const std::string path = CoreLibrary();
  size_t next = 0;
  std::vector<uint64_t> addresses;
  {
    QVElfImage image(path);
    addresses = RandomCodeAddresses(image);
  }
  if (addresses.empty()) {
    state.SkipWithError("libQVCore has no code");
    return;
  }
  for (auto _ : state) {
    auto image = std::make_shared<QVElfImage>(path);
    QVDwarfLineTable lines(image);
    QVSourceLine line;
    benchmark::DoNotOptimize(lines.sourceLineAt(addresses[next++ % addresses.size()], line));
  }
}

// Later questions, once every unit has been decoded.
void BM_LineLookup(benchmark::State& state) {
  auto image = std::make_shared<QVElfImage>(CoreLibrary());
  if (!image->isValid() || !image->hasLineInfo()) {
    state.SkipWithError("libQVCore has no line information");
    return;
  }
  QVDwarfLineTable lines(image);
  const std::vector<uint64_t> addresses = RandomCodeAddresses(*image);
  QVSourceLine line;
  size_t found = 0;
  for (uint64_t address : addresses) {
    lines.sourceLineAt(address, line);
  }
  for (auto _ : state) {
    for (uint64_t address : addresses) {
      found += lines.sourceLineAt(address, line);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * addresses.size()));
  state.counters["units"] = static_cast<double>(lines.decodedUnitCount());
  state.counters["resolved"] = static_cast<double>(found) / static_cast<double>(state.iterations() * addresses.size());
}

}  // namespace

BENCHMARK(BM_SymbolLookupLibStdCxx)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SymbolLookupQVCore)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstLineLookup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstLineLookupWithOpen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LineLookup)->Unit(benchmark::kMillisecond);
