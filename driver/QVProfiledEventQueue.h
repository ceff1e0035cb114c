#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace Quorvel {

/// The driver's event buffer: whole units of stream words (one sample with
/// its call stack and timestamps, or one notice) waiting to be read from the
/// "buffer" file. A unit is never split across two reads, so every chunk the
/// library copies out ends on a record boundary.
class QVProfiledEventQueue {
 public:
  /// capacityWords: the "buffer_size" setting; units beyond it are lost and
  /// counted.
  explicit QVProfiledEventQueue(uint64_t capacityWords, uint64_t wordSize);

  void setCapacity(uint64_t capacityWords);
  /// A read that finds fewer words waits up to a short grace period for
  /// this many, so chunks are large rather than one per sample.
  void setWatershed(uint64_t words);
  /// Appends a sample unit; false (and counted as lost) when it does not fit.
  bool push(std::vector<unsigned char> unit);
  /// Appends a notice (sampling begun or ended, interval changed) whatever
  /// the fill: without them the reader could not tell where a recording
  /// ends or how its interval changed, and there are only a few per
  /// recording, so they cannot grow the queue without bound.
  void pushNotice(std::vector<unsigned char> unit);

  /// Blocks until a unit is queued or the queue is released, then copies
  /// as many whole units as fit in size bytes. Returns the bytes copied;
  /// 0 once released and empty.
  size_t read(unsigned char* out, size_t size);

  /// Sampling stopped: readers return what is left, then 0, instead of waiting.
  void release();
  /// Sampling (re)started: readers wait for data again.
  void arm();
  /// Wakes waiting readers for good (unmount).
  void shutdown();

  uint64_t lostUnits() const;
  uint64_t queuedWords() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::vector<unsigned char>> units_;
  uint64_t capacityWords_;
  uint64_t wordSize_;
  uint64_t watershed_ = 0;
  uint64_t queuedBytes_ = 0;
  uint64_t lost_ = 0;
  bool released_ = false;
  bool shutdown_ = false;
};

}  // namespace Quorvel
