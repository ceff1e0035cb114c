#include <cstddef>
#include <memory>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "ranges/QVNodePool.h"

namespace Quorvel {
namespace {

// 64 bytes: 4096 / 64 = 64 slots fit a page, the point where growth stops.
struct Slot {
  explicit Slot(std::shared_ptr<int> value_) : value(std::move(value_)) {}
  std::shared_ptr<int> value;
  char padding[64 - sizeof(std::shared_ptr<int>)];
};
static_assert(sizeof(Slot) == 64, "the block sizes below assume 64-byte slots");

TEST(QVNodePool, BlocksGrowByHalfUntilAPageThenStay) {
  QVNodePool<Slot> pool;
  EXPECT_EQ(64u, QVNodePool<Slot>::slotsPerPage());
  EXPECT_EQ(4u, pool.nextBlockSize());
  auto value = std::make_shared<int>(0);
  std::vector<Slot*> slots;
  std::vector<size_t> blockSizes;  // the next block size seen after each new block
  size_t next = pool.nextBlockSize();
  for (int i = 0; i < 1000; ++i) {
    slots.push_back(pool.construct(value));
    if (pool.nextBlockSize() != next) {
      next = pool.nextBlockSize();
      blockSizes.push_back(next);
    }
  }
  // 4 -> 6 -> 9 -> 13 -> 19 -> 28 -> 42 -> 63 -> 94 (63 < 64 still grows), then 94 stays.
  EXPECT_EQ((std::vector<size_t>{6, 9, 13, 19, 28, 42, 63, 94}), blockSizes);
  EXPECT_EQ(1000u, pool.liveCount());
  EXPECT_EQ(1001, value.use_count());
  for (Slot* slot : slots) {
    pool.destroy(slot);
  }
  EXPECT_EQ(0u, pool.liveCount());
  EXPECT_EQ(1, value.use_count());
}

TEST(QVNodePool, FreedSlotsAreReusedBeforeGrowingAndResetStartsOver) {
  QVNodePool<Slot> pool;
  std::vector<Slot*> slots;
  for (int i = 0; i < 4; ++i) {
    slots.push_back(pool.construct(nullptr));
  }
  const size_t next = pool.nextBlockSize();
  std::set<Slot*> freed(slots.begin(), slots.end());
  for (Slot* slot : slots) {
    pool.destroy(slot);
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(1u, freed.count(pool.construct(nullptr)));
  }
  EXPECT_EQ(next, pool.nextBlockSize());

  // Its slots are trivially owned, so a reset only drops memory; the pool
  // starts again with a first block of the given size.
  pool.reset(32);
  EXPECT_EQ(0u, pool.liveCount());
  EXPECT_EQ(32u, pool.nextBlockSize());
  pool.construct(nullptr);
  EXPECT_EQ(48u, pool.nextBlockSize());
}

}  // namespace
}  // namespace Quorvel
