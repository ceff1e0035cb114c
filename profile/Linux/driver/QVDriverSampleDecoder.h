#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"

namespace Quorvel {

/// One sample as the driver stream states it: who (thread-group and thread
/// id), where (processor, kernel or user mode), when (timestamps in the
/// driver's clock) and what (the sampled pc, then its callers).
struct QVDriverSample {
  uint64_t tgid = 0;
  uint64_t tid = 0;
  uint32_t processor = 0;
  bool kernel = false;
  uint64_t beginTimestamp = 0;
  uint64_t endTimestamp = 0;
  std::vector<uint64_t> addresses;
  /// How many leading addresses are kernel code (the rest are the user
  /// callers the kernel was entered from).
  size_t kernelFrames = 0;
};

/// Decodes event-stream file buffers into samples. Thread identity is left to
/// the caller (threadKnown), so the decoder holds no process model; every
/// problem is reported through the log callback, never thrown.
class QVDriverSampleDecoder {
 public:
  enum class Level { Debug, Warning, Error };
  using Log = std::function<void(Level, const std::string&)>;
  /// Answers whether (tgid, tid) names a thread whose samples are kept; a
  /// false answer drops samples until the next context switch.
  using ThreadFilter = std::function<bool(uint64_t tgid, uint64_t tid)>;

  QVDriverSampleDecoder(unsigned processorCount, uint64_t intervalTimestamps, Log log, ThreadFilter threadKnown);

  /// Decodes one file buffer. Returns false when decoding stopped early (a
  /// corrupt tail); what came before is kept. processed: records consumed.
  bool decode(QVDriverBufferCursorAbstract& cursor, bool is64, uint64_t& processed);

  /// Ends decoding: drops samples that lie outside their processor's
  /// sampling window where the driver announced one.
  void finish();

  /// The samples decoded so far, thinned to one interval over the whole
  /// recording when the driver lengthened its interval.
  const std::vector<QVDriverSample>& samples() const { return samples_; }
  std::vector<QVDriverSample>& samples() { return samples_; }
  /// The factor by which the driver's interval grew (1 when never).
  uint32_t adaptFactor() const { return adaptFactor_; }

 private:
  void _flush();
  void _adapt(uint32_t factor);
  void _startFileBuffer();

  unsigned processorCount_;
  uint64_t interval_;
  Log log_;
  ThreadFilter threadKnown_;

  // Per file buffer
  uint32_t processor_ = 0;
  bool threadValid_ = false;
  uint64_t tgid_ = 0, tid_ = 0;
  bool inKernel_ = false;
  enum class Trace { Normal, Begun, Frames } trace_ = Trace::Normal;
  bool pending_ = false;
  bool pendingClosed_ = false;
  QVDriverSample sample_;
  bool haveBegin_ = false, haveEnd_ = false;
  uint64_t lastTimestamp_ = 0;
  std::vector<uint64_t> windowBegin_, windowEnd_;  // 0: not announced

  uint32_t adaptFactor_ = 1;
  std::vector<QVDriverSample> samples_;
};

}  // namespace Quorvel
