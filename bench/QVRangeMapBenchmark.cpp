#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "ranges/QVRangeMap.h"

namespace {

using Quorvel::QVRange;
using Map = Quorvel::QVRangeMap<unsigned long, int>;

// n random, non-overlapping ranges in a 64-bit address space, shuffled so
// that insertion order does not favour the tree: each range sits in its own
// 64 KiB slot at a random offset with a random length, leaving gaps between
// neighbours for the nearest searches to land in.
std::vector<QVRange<unsigned long>> MakeRanges(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<QVRange<unsigned long>> ranges;
  ranges.reserve(n);
  const unsigned long base = 0x7f0000000000ul;
  for (size_t i = 0; i < n; ++i) {
    const unsigned long offset = rng() % 0x8000;
    const unsigned long length = 1 + rng() % 0x8000;
    ranges.emplace_back(base + i * 0x10000 + offset, length);
  }
  std::shuffle(ranges.begin(), ranges.end(), rng);
  return ranges;
}

// Probe addresses drawn ahead of time so the loop measures only the lookup.
std::vector<unsigned long> MakeProbes(const std::vector<QVRange<unsigned long>>& ranges, bool inside) {
  std::mt19937_64 rng(99);
  std::vector<unsigned long> probes(4096);
  for (unsigned long& probe : probes) {
    const auto& range = ranges[rng() % ranges.size()];
    // Inside: a random address of a stored range. Outside: just past a range's end, in a gap.
    probe = inside ? range.location + rng() % range.length : range.end() + 1 + rng() % 0x100;
  }
  return probes;
}

void FillMap(Map& map, const std::vector<QVRange<unsigned long>>& ranges) {
  int value = 0;
  for (const auto& range : ranges) {
    map.setValueForRange(value++, range);
  }
}

void BM_Insert(benchmark::State& state) {
  const auto ranges = MakeRanges(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) {
    Map map;
    FillMap(map, ranges);
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ExactLookup(benchmark::State& state) {
  const auto ranges = MakeRanges(static_cast<size_t>(state.range(0)), 1);
  Map map;
  FillMap(map, ranges);
  const auto probes = MakeProbes(ranges, true);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&map.valueForLocation(probes[i++ & 4095], true));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_NearestLookupInGap(benchmark::State& state) {
  const auto ranges = MakeRanges(static_cast<size_t>(state.range(0)), 1);
  Map map;
  FillMap(map, ranges);
  const auto probes = MakeProbes(ranges, false);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(&map.valueForLocation(probes[i++ & 4095], false));
  }
  state.SetItemsProcessed(state.iterations());
}

// Splitting writes: each removes the middle of a stored range and re-inserts
// the outer pieces, which is where node freeing must stay constant-time.
void BM_SplittingWrites(benchmark::State& state) {
  const auto ranges = MakeRanges(static_cast<size_t>(state.range(0)), 1);
  Map map;
  FillMap(map, ranges);
  std::mt19937_64 rng(5);
  for (auto _ : state) {
    const auto& range = ranges[rng() % ranges.size()];
    map.setValueForRange(-1, QVRange<unsigned long>(range.location + range.length / 2, 1));
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Insert)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExactLookup)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_NearestLookupInGap)->RangeMultiplier(10)->Range(1000, 1000000);
BENCHMARK(BM_SplittingWrites)->RangeMultiplier(10)->Range(1000, 1000000);

}  // namespace
