#include "QVProfiledEventQueue.h"

#include <chrono>
#include <cstring>

namespace Quorvel {

QVProfiledEventQueue::QVProfiledEventQueue(uint64_t capacityWords, uint64_t wordSize)
    : capacityWords_(capacityWords), wordSize_(wordSize) {}

void QVProfiledEventQueue::setCapacity(uint64_t capacityWords) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacityWords_ = capacityWords;
}

void QVProfiledEventQueue::setWatershed(uint64_t words) {
  std::lock_guard<std::mutex> lock(mutex_);
  watershed_ = words;
}

bool QVProfiledEventQueue::push(std::vector<unsigned char> unit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((queuedBytes_ + unit.size()) / wordSize_ > capacityWords_) {
      ++lost_;
      return false;
    }
    queuedBytes_ += unit.size();
    units_.push_back(std::move(unit));
  }
  ready_.notify_all();
  return true;
}

void QVProfiledEventQueue::pushNotice(std::vector<unsigned char> unit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queuedBytes_ += unit.size();
    units_.push_back(std::move(unit));
  }
  ready_.notify_all();
}

size_t QVProfiledEventQueue::read(unsigned char* out, size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ready_.wait(lock, [this] { return !units_.empty() || released_ || shutdown_; });
    // A unit larger than the whole request could never be delivered and
    // an empty answer would end the reader's loop: drop it as lost.
    if (units_.empty() || units_.front().size() <= size) break;
    queuedBytes_ -= units_.front().size();
    units_.pop_front();
    ++lost_;
  }
  ready_.wait_for(lock, std::chrono::milliseconds(100), [this, size] {
    return queuedBytes_ / wordSize_ >= watershed_ || queuedBytes_ >= size || released_ || shutdown_;
  });
  size_t done = 0;
  while (!units_.empty() && done + units_.front().size() <= size) {
    std::vector<unsigned char>& unit = units_.front();
    std::memcpy(out + done, unit.data(), unit.size());
    done += unit.size();
    queuedBytes_ -= unit.size();
    units_.pop_front();
  }
  return done;
}

void QVProfiledEventQueue::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  ready_.notify_all();
}

void QVProfiledEventQueue::arm() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = false;
}

void QVProfiledEventQueue::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
  }
  ready_.notify_all();
}

uint64_t QVProfiledEventQueue::lostUnits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lost_;
}

uint64_t QVProfiledEventQueue::queuedWords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queuedBytes_ / wordSize_;
}

}  // namespace Quorvel
