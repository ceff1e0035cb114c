#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_set>

#include <boost/functional/hash.hpp>

namespace Quorvel {

// The interning table behind the identifier classes. A Record holds the
// fields that make an identifier, a public `size_t hash` computed from them
// once, and operator== over the fields. Records are never freed, so an
// identifier is a plain pointer that stays valid for the life of the process
// and equal identifiers are one pointer.
//
// Sessions look up millions of contexts from several back-end threads, so
// the table is split into shards, each with its own lock, chosen by the
// record's hash.
template <class Record>
class QVInternTable {
 public:
  static constexpr size_t kShardCount = 64;

  // The table of this record type. Created on first use and never destroyed,
  // so identifiers remain usable from static destructors.
  static QVInternTable& shared() {
    static QVInternTable* table = new QVInternTable();
    return *table;
  }

  // The record equal to `candidate`, stored on first use.
  const Record* intern(const Record& candidate) {
    Shard& shard = shards_[shardIndex(candidate.hash)];
    std::lock_guard<std::mutex> lock(shard.mutex);
    auto found = shard.index.find(&candidate);
    if (found != shard.index.end()) {
      return *found;
    }
    // A deque never moves its elements, so the pointers handed out stay put.
    shard.storage.push_back(candidate);
    const Record* stored = &shard.storage.back();
    shard.index.insert(stored);
    return stored;
  }

  size_t size() const {
    size_t total = 0;
    for (const Shard& shard : shards_) {
      std::lock_guard<std::mutex> lock(shard.mutex);
      total += shard.storage.size();
    }
    return total;
  }

 private:
  QVInternTable() = default;

  struct RecordHash {
    size_t operator()(const Record* record) const { return record->hash; }
  };
  struct RecordEqual {
    bool operator()(const Record* a, const Record* b) const { return *a == *b; }
  };
  // Own cache line per shard: threads working different shards must not
  // contend on the line that holds a neighbour's mutex.
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::deque<Record> storage;
    std::unordered_set<const Record*, RecordHash, RecordEqual> index;
  };

  // The sets use the low bits of the hash for buckets; take the shard from
  // the high bits of a multiplicative mix so the two stay independent.
  static size_t shardIndex(size_t hash) {
    return static_cast<size_t>((static_cast<uint64_t>(hash) * 0x9E3779B97F4A7C15ULL) >> 58) % kShardCount;
  }

  std::array<Shard, kShardCount> shards_;
};

// Hash of a record's fields, in the order given.
template <class... Fields>
size_t QVInternHash(const Fields&... fields) {
  size_t seed = 0;
  (boost::hash_combine(seed, fields), ...);
  return seed;
}

}  // namespace Quorvel
