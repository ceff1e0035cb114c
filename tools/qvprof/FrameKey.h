#pragma once

#include <cstdint>
#include <functional>

namespace Quorvel {

class QVSymbolSource;

namespace qvprof {

// One frame's identity for the per-address caches of script and exports:
// sessions repeat a few thousand addresses over millions of frames, each
// named once per symbol source (a process, or the kernel).
struct FrameKey {
  const QVSymbolSource* source;
  uint64_t address;
  bool operator==(const FrameKey& other) const { return source == other.source && address == other.address; }
};

struct FrameKeyHash {
  size_t operator()(const FrameKey& key) const {
    return std::hash<const void*>()(key.source) ^ (std::hash<uint64_t>()(key.address) * 0x9e3779b97f4a7c15ull);
  }
};

}  // namespace qvprof
}  // namespace Quorvel
