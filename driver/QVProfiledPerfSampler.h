#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "QVPerfRing.h"
#include "QVProfiledEventQueue.h"

namespace Quorvel {

/// Samples every processor with perf events (the software cpu-clock at a
/// fixed period, with call chains) and turns each sample into one unit of
/// event-stream words on the queue. A drain thread empties the perf ring
/// buffers while sampling runs.
class QVProfiledPerfSampler {
 public:
  struct Settings {
    uint64_t periodNanos = 1000000;
    bool callchains = true;
    uint32_t depth = 512;  ///< frames per call chain, capped by the kernel's limit
    bool kernel = true;
    bool user = true;
  };

  /// One frame of a sample: its address and whether it is kernel code.
  struct Frame {
    uint64_t address;
    bool kernel;
  };
  /// Writes one sample as a unit of stream words, for a driver that speaks
  /// another dialect of the stream (the default writes the own module's).
  using Encoder = std::function<std::vector<unsigned char>(uint32_t cpu, uint32_t pid, uint32_t tid,
                                                           const std::vector<Frame>& frames)>;

  QVProfiledPerfSampler(QVProfiledEventQueue& queue, unsigned processorCount);
  /// Set before start().
  void setEncoder(Encoder encoder) { encoder_ = std::move(encoder); }
  ~QVProfiledPerfSampler();

  /// Opens one event per processor and starts the drain thread; false with
  /// error set when the kernel refuses.
  bool start(const Settings& settings, std::string& error);
  /// Stops sampling, drains what the rings still hold, joins the thread.
  void stop();
  bool running() const { return running_; }

  /// Doubles the period on every processor and queues the adapt notice
  /// with the factor relative to the period sampling started with.
  bool adapt();

  uint64_t lostRecords(unsigned cpu) const;

 private:
  void _drainLoop();
  void _drainRing(QVPerfRing& ring);
  void _emitSample(const unsigned char* record, size_t size);

  QVProfiledEventQueue& queue_;
  unsigned processorCount_;
  Settings settings_;
  std::vector<std::unique_ptr<QVPerfRing>> rings_;
  std::vector<std::atomic<uint64_t>> lost_;  ///< per processor, read by the filesystem's threads
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  uint32_t adaptFactor_ = 1;
  int wakeFd_ = -1;
  // Stream context last announced, so switches are emitted only on change.
  int64_t lastCpu_ = -1;
  int64_t lastTid_ = -1;
  int64_t lastPid_ = -1;
  Encoder encoder_;
};

}  // namespace Quorvel
