// Address-to-symbol and address-to-line resolution through the sections of
// a large ELF module: this project's core library, which carries its
// symbol table and DWARF line information (the system's libstdc++ has
// neither unless its debug package is installed).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "symbols/elf/QVModuleElf.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "system/QVMachine.h"

using namespace Quorvel;

namespace {

std::string LibraryPath(const void* anyFunction) {
  Dl_info info;
  if (dladdr(anyFunction, &info) == 0 || info.dli_fname == nullptr) {
    return std::string();
  }
  return info.dli_fname;
}

std::string LargeLibrary() { return LibraryPath(reinterpret_cast<const void*>(&LocalMachineArchitecture)); }

std::shared_ptr<QVModuleElf> OpenModule(const std::string& path) {
  return std::make_shared<QVModuleElf>(
      QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path + "#bench"), LocalMachineArchitecture()), path, 0,
      path);
}

struct Probe {
  std::shared_ptr<QVSection> section;
  int offset;
};

// 100,000 offsets spread evenly at random over the module's executable
// sections, by size.
std::vector<Probe> RandomProbes(const QVModuleElf& module, size_t count) {
  std::vector<std::shared_ptr<QVSection>> code;
  uint64_t total = 0;
  for (const auto& section : module.sections()) {
    if (section->isExecutable() && section->addressRange().length > 0) {
      code.push_back(section);
      total += section->addressRange().length;
    }
  }
  std::vector<Probe> probes;
  if (total == 0) {
    return probes;
  }
  std::mt19937_64 random(42);
  std::uniform_int_distribution<uint64_t> pick(0, total - 1);
  for (size_t i = 0; i < count; ++i) {
    uint64_t at = pick(random);
    for (const auto& section : code) {
      if (at < section->addressRange().length) {
        probes.push_back({section, static_cast<int>(at)});
        break;
      }
      at -= section->addressRange().length;
    }
  }
  return probes;
}

void BM_SymbolLookupLoaded(benchmark::State& state) {
  auto module = OpenModule(LargeLibrary());
  const std::vector<Probe> probes = RandomProbes(*module, 100000);
  if (probes.empty()) {
    state.SkipWithError("no executable sections");
    return;
  }
  QVRange<int> range;
  for (const Probe& probe : probes) {
    probe.section->symbolAtSectionOffset(probe.offset, range, true);
  }
  size_t found = 0;
  for (auto _ : state) {
    for (const Probe& probe : probes) {
      found += probe.section->symbolAtSectionOffset(probe.offset, range, true) != nullptr;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * probes.size()));
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SymbolLookupLoaded)->Unit(benchmark::kMillisecond);

void BM_FirstSymbolAndLineLookup(benchmark::State& state) {
  const std::string path = LargeLibrary();
  for (auto _ : state) {
    state.PauseTiming();
    auto module = OpenModule(path);
    const std::vector<Probe> probes = RandomProbes(*module, 1);
    state.ResumeTiming();
    QVRange<int> range;
    const std::shared_ptr<QVSymbol>& symbol = probes[0].section->symbolAtSectionOffset(probes[0].offset, range, true);
    QVFileId file;
    int line = 0;
    if (symbol) {
      symbol->sourceLineForOffset(probes[0].offset - range.location, file, line);
    }
    benchmark::DoNotOptimize(line);
    state.PauseTiming();
    QVSymbol::flushRegisteredSymbols();
    module.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_FirstSymbolAndLineLookup)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_LineLookupLoaded(benchmark::State& state) {
  auto module = OpenModule(LargeLibrary());
  std::vector<Probe> probes = RandomProbes(*module, 100000);
  std::vector<std::pair<std::shared_ptr<QVSymbol>, int>> targets;
  QVRange<int> range;
  // The first 2,000 hits, with their lines loaded before timing.
  for (const Probe& probe : probes) {
    const std::shared_ptr<QVSymbol>& symbol = probe.section->symbolAtSectionOffset(probe.offset, range, true);
    if (symbol) {
      targets.emplace_back(symbol, probe.offset - range.location);
    }
  }
  targets.resize(std::min<size_t>(targets.size(), 2000));
  for (const auto& target : targets) {
    target.first->sourceLocations();
  }
  size_t found = 0;
  for (auto _ : state) {
    for (const auto& target : targets) {
      QVFileId file;
      int line = 0;
      found += target.first->sourceLineForOffset(target.second, file, line);
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * targets.size()));
  state.counters["with_line"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_LineLookupLoaded)->Unit(benchmark::kMillisecond);

}  // namespace
