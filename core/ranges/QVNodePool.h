#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include <boost/pool/pool.hpp>

namespace Quorvel {

// Fixed-size slots for the nodes of one tree, carved from blocks instead of
// one heap allocation per node.
//
// Block growth: the first block holds `firstBlock` slots; each following
// block holds half again as many as the previous one (integer arithmetic)
// until a block's count reaches the number of slots that fit into 4096
// bytes, after which the size stays. This keeps small trees (a process with
// a handful of sections) small while large ones (a kernel symbol table)
// allocate in page-sized steps.
//
// Freeing is constant-time. boost::object_pool keeps its free list ordered
// so that its destructor can tell live chunks from free ones, which makes
// every destroy() a linear walk of the free list; a tree with a million
// symbols that loses nodes to range splits would spend quadratic time there.
// We use boost::pool<>'s unordered free() instead and never rely on the pool
// to find live objects: the owning tree destroys its nodes itself before it
// releases or drops the pool.
template <class T>
class QVNodePool {
  static_assert(alignof(T) <= alignof(void*), "pool slots are aligned to pointers only");

 public:
  static constexpr size_t kInitialBlock = 4;
  static constexpr size_t kBlockBytes = 4096;

  explicit QVNodePool(size_t firstBlock = kInitialBlock) : pool_(newPool(firstBlock)) {}
  QVNodePool(const QVNodePool&) = delete;
  QVNodePool& operator=(const QVNodePool&) = delete;
  QVNodePool(QVNodePool&&) noexcept = default;
  QVNodePool& operator=(QVNodePool&&) noexcept = default;
  // Releases the memory only; objects still alive are not destroyed.
  ~QVNodePool() = default;

  template <class... Args>
  T* construct(Args&&... args) {
    void* slot = allocate();
    try {
      T* object = new (slot) T(std::forward<Args>(args)...);
      ++live_;
      return object;
    } catch (...) {
      pool_->free(slot);
      throw;
    }
  }

  // Runs the destructor through the static type T; callers holding a base
  // pointer destroy through their own virtual destructor and use release().
  void destroy(T* object) {
    object->~T();
    release(object);
  }

  // Returns a slot whose object has already been destroyed.
  void release(void* slot) {
    pool_->free(slot);
    --live_;
  }

  // Drops every block and starts over with a first block of `firstBlock`
  // slots. The caller must have destroyed the live objects.
  void reset(size_t firstBlock) {
    pool_ = newPool(firstBlock);
    live_ = 0;
  }

  size_t liveCount() const { return live_; }
  // Slots in the block the pool will allocate next.
  size_t nextBlockSize() const { return pool_->get_next_size(); }

  static constexpr size_t slotsPerPage() { return kBlockBytes / sizeof(T) > 0 ? kBlockBytes / sizeof(T) : 1; }

 private:
  static std::unique_ptr<boost::pool<>> newPool(size_t firstBlock) {
    return std::make_unique<boost::pool<>>(sizeof(T), firstBlock);
  }

  void* allocate() {
    // boost::pool<> doubles its next block size whenever it allocates a
    // block; a change of that size is how we learn a block was added, and we
    // then replace the doubling with our own growth.
    const size_t before = pool_->get_next_size();
    void* slot = pool_->malloc();
    if (slot == nullptr) {
      throw std::bad_alloc();
    }
    if (pool_->get_next_size() != before) {
      pool_->set_next_size(before < slotsPerPage() ? before + before / 2 : before);
    }
    return slot;
  }

  std::unique_ptr<boost::pool<>> pool_;
  size_t live_ = 0;
};

}  // namespace Quorvel
