// A small program to try the profiler on: four threads, each spending its
// time on one recognisable kind of work, until the duration given as the
// first argument (seconds, default 2) has passed. It prints the checksum of
// all the work at the end so that the compiler cannot discard any of it.
//
//   workload [SECONDS [KIND]]
//
// KIND (hash, sort, matrix or fib) names the work to run on two threads
// instead of one: twice the work of one kind, for trying a comparison of
// two profiles.
//
// Each kind of work sits behind a chain of functions that are kept out of
// line, so that a profile shows a distinct call path per thread:
//   hashThread   -> hashBlocks   -> fnv1aHash
//   sortThread   -> sortBatches  -> sortValues (std::sort inside)
//   matrixThread -> multiplyRuns -> multiplyMatrices
//   fibThread    -> fibRounds    -> fibonacci (recursive)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Threads look at the clock only between units of work; each unit is short
// enough (well under a millisecond) that the program stops on time.
std::atomic<bool> g_stop{false};

__attribute__((noinline)) uint64_t fnv1aHash(const std::vector<unsigned char>& data, uint64_t seed) {
  uint64_t hash = 14695981039346656037ull ^ seed;
  for (unsigned char byte : data) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return hash;
}

__attribute__((noinline)) uint64_t hashBlocks(std::vector<unsigned char>& block) {
  uint64_t result = 0;
  for (int round = 0; round < 16; ++round) {
    result ^= fnv1aHash(block, result);
    block[static_cast<size_t>(round)] = static_cast<unsigned char>(result);
  }
  return result;
}

__attribute__((noinline)) void hashThread(uint64_t* out) {
  std::vector<unsigned char> block(16 * 1024);
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<unsigned char>(i * 31);
  }
  uint64_t sum = 0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    sum += hashBlocks(block);
  }
  *out = sum;
}

__attribute__((noinline)) uint64_t sortValues(std::vector<uint32_t>& values, std::mt19937& random) {
  for (uint32_t& value : values) {
    value = random();
  }
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

__attribute__((noinline)) uint64_t sortBatches(std::vector<uint32_t>& values, std::mt19937& random) {
  uint64_t result = 0;
  for (int batch = 0; batch < 4; ++batch) {
    result += sortValues(values, random);
  }
  return result;
}

__attribute__((noinline)) void sortThread(uint64_t* out) {
  std::mt19937 random(12345);
  std::vector<uint32_t> values(4096);
  uint64_t sum = 0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    sum += sortBatches(values, random);
  }
  *out = sum;
}

constexpr size_t kMatrixSize = 48;

__attribute__((noinline)) void multiplyMatrices(const std::vector<double>& a, const std::vector<double>& b,
                                                std::vector<double>& product) {
  for (size_t row = 0; row < kMatrixSize; ++row) {
    for (size_t column = 0; column < kMatrixSize; ++column) {
      double sum = 0.0;
      for (size_t k = 0; k < kMatrixSize; ++k) {
        sum += a[row * kMatrixSize + k] * b[k * kMatrixSize + column];
      }
      product[row * kMatrixSize + column] = sum;
    }
  }
}

__attribute__((noinline)) double multiplyRuns(std::vector<double>& a, const std::vector<double>& b,
                                              std::vector<double>& product) {
  for (int run = 0; run < 4; ++run) {
    multiplyMatrices(a, b, product);
    // Feed the result back, scaled so the values stay finite.
    for (size_t i = 0; i < a.size(); ++i) {
      a[i] = product[i] / static_cast<double>(kMatrixSize);
    }
  }
  return product[0];
}

__attribute__((noinline)) void matrixThread(uint64_t* out) {
  std::vector<double> a(kMatrixSize * kMatrixSize);
  std::vector<double> b(kMatrixSize * kMatrixSize);
  std::vector<double> product(kMatrixSize * kMatrixSize);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<double>(i % 7) / 7.0;
    b[i] = static_cast<double>(i % 5) / 5.0;
  }
  double sum = 0.0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    sum += multiplyRuns(a, b, product);
  }
  *out = static_cast<uint64_t>(sum);
}

__attribute__((noinline)) uint64_t fibonacci(unsigned n) {
  if (n < 2) {
    return n;
  }
  const uint64_t result = fibonacci(n - 1) + fibonacci(n - 2);
  // Keeps the compiler from turning the recursion into a loop, which
  // would hide it from a profile.
  asm volatile("" ::: "memory");
  return result;
}

__attribute__((noinline)) uint64_t fibRounds() {
  uint64_t result = 0;
  for (unsigned n = 16; n < 22; ++n) {
    result += fibonacci(n);
  }
  return result;
}

__attribute__((noinline)) void fibThread(uint64_t* out) {
  uint64_t sum = 0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    sum += fibRounds();
  }
  *out = sum;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2.0;
  const char* const kinds[] = {"hash", "sort", "matrix", "fib"};
  void (*const bodies[])(uint64_t*) = {hashThread, sortThread, matrixThread, fibThread};
  int doubled = -1;
  bool valid = argc <= 3;
  if (valid && argc > 1) {
    char* end = nullptr;
    seconds = std::strtod(argv[1], &end);
    valid = end != argv[1] && *end == '\0' && seconds >= 0.0 && seconds <= 1e6;
  }
  if (valid && argc > 2) {
    for (int kind = 0; kind < 4; ++kind) {
      if (std::string(argv[2]) == kinds[kind]) doubled = kind;
    }
    valid = doubled >= 0;
  }
  if (!valid) {
    std::fprintf(stderr, "usage: %s [SECONDS [hash|sort|matrix|fib]]\n", argv[0]);
    return 2;
  }

  uint64_t results[5] = {0, 0, 0, 0, 0};
  std::vector<std::thread> threads;
  for (int kind = 0; kind < 4; ++kind) threads.emplace_back(bodies[kind], &results[kind]);
  if (doubled >= 0) threads.emplace_back(bodies[doubled], &results[4]);

  std::this_thread::sleep_until(Clock::now() + std::chrono::duration<double>(seconds));
  g_stop.store(true, std::memory_order_relaxed);
  for (std::thread& thread : threads) {
    thread.join();
  }

  uint64_t checksum = 0;
  for (uint64_t result : results) {
    checksum = checksum * 31 + result;
  }
  std::printf("checksum %016llx\n", static_cast<unsigned long long>(checksum));
  return 0;
}
