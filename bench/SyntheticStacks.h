#pragma once

// Call stacks shaped like a real recording's, for benchmarks of the sample
// archivers and of session files: a few dozen outer paths (main loops,
// thread entry points) shared by most samples of a thread, and inner parts
// that branch like a call graph whose hot path is taken most of the time.
// Generation is deterministic for a seed and cheap (a splitmix64 stream),
// so that benchmarks can generate while they measure and subtract the
// generator's own time.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Quorvel {
namespace bench {

class SyntheticStacks {
 public:
  struct Shape {
    int threads = 8;
    // Outer paths in all, dealt out round-robin to the threads.
    int outerPaths = 32;
    int outerMinDepth = 8;
    int outerMaxDepth = 16;
    // Whole stack depth, outer path included.
    int minDepth = 20;
    int maxDepth = 60;
    // Callees a function calls; the first is taken with the probability
    // below, the others share the rest.
    int branching = 3;
    double hotPathProbability = 0.98;
    uint64_t seed = 0x5eed;
  };

  explicit SyntheticStacks(const Shape& shape) : shape_(shape), state_(shape.seed) {
    for (int p = 0; p < shape_.outerPaths; ++p) {
      const int depth = _uniform(shape_.outerMinDepth, shape_.outerMaxDepth);
      std::vector<uint64_t> path;  // outermost first
      uint64_t function = 0x1000 + static_cast<uint64_t>(p);
      for (int i = 0; i < depth; ++i) {
        function = _mix(function * 31 + static_cast<uint64_t>(i));
        path.push_back(_address(function));
      }
      outerPaths_.push_back(path);
    }
  }

  const Shape& shape() const { return shape_; }

  // The next sample: its thread index (0..threads-1) and its addresses,
  // innermost first.
  void next(int& thread, std::vector<uint64_t>& addresses) {
    thread = static_cast<int>(_next() % static_cast<uint64_t>(shape_.threads));
    // Threads own disjoint groups of outer paths, as real threads run
    // different code near their entry points.
    const int perThread = shape_.outerPaths / shape_.threads > 0 ? shape_.outerPaths / shape_.threads : 1;
    const int path = (thread * perThread + static_cast<int>(_next() % static_cast<uint64_t>(perThread))) %
                     static_cast<int>(outerPaths_.size());
    const std::vector<uint64_t>& outer = outerPaths_[static_cast<size_t>(path)];
    const int depth = _uniform(shape_.minDepth, shape_.maxDepth);
    const int inner = depth > static_cast<int>(outer.size()) ? depth - static_cast<int>(outer.size()) : 0;

    // Built outermost first, then reversed into sampling order.
    addresses.assign(outer.begin(), outer.end());
    uint64_t function = outer.empty() ? 1 : outer.back();
    for (int i = 0; i < inner; ++i) {
      const double u = static_cast<double>(_next() >> 11) * (1.0 / 9007199254740992.0);
      uint64_t callee = 0;
      if (u >= shape_.hotPathProbability && shape_.branching > 1) {
        callee = 1 + _next() % static_cast<uint64_t>(shape_.branching - 1);
      }
      function = _mix(function ^ (callee + 0x9e3779b97f4a7c15ull));
      addresses.push_back(_address(function));
    }
    std::reverse(addresses.begin(), addresses.end());
  }

 private:
  static uint64_t _mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // A return address inside one of 64k functions of a 0x400000 image.
  static uint64_t _address(uint64_t function) {
    return 0x400000 + (function % 65536) * 0x40 + ((function >> 32) % 0x30);
  }
  uint64_t _next() {
    state_ += 0x9e3779b97f4a7c15ull;
    return _mix(state_);
  }
  int _uniform(int low, int high) {
    return low + static_cast<int>(_next() % static_cast<uint64_t>(high - low + 1));
  }

  Shape shape_;
  uint64_t state_;
  std::vector<std::vector<uint64_t>> outerPaths_;
};

}  // namespace bench
}  // namespace Quorvel
