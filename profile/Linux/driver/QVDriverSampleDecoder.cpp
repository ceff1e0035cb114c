#include "Linux/driver/QVDriverSampleDecoder.h"

#include <sstream>

#include "Linux/driver/QVDriverEventScanner.h"

namespace Quorvel {

QVDriverSampleDecoder::QVDriverSampleDecoder(unsigned processorCount, uint64_t intervalTimestamps, Log log,
                                             ThreadFilter threadKnown)
    : processorCount_(processorCount ? processorCount : 1),
      interval_(intervalTimestamps),
      log_(std::move(log)),
      threadKnown_(std::move(threadKnown)),
      windowBegin_(processorCount_, 0),
      windowEnd_(processorCount_, 0) {}

void QVDriverSampleDecoder::_startFileBuffer() {
  // Each file buffer starts from the stream's defaults: the driver restates
  // processor and thread before the samples that need them.
  processor_ = 0;
  threadValid_ = false;
  tgid_ = tid_ = 0;
  inKernel_ = false;
  trace_ = Trace::Normal;
  pending_ = pendingClosed_ = false;
  haveBegin_ = haveEnd_ = false;
}

void QVDriverSampleDecoder::_flush() {
  if (!pending_) return;
  pending_ = false;
  pendingClosed_ = false;
  QVDriverSample& s = sample_;
  // A missing timestamp is one interval away from the other; with neither,
  // the sample ends at the last time the stream stated.
  if (!haveBegin_ && !haveEnd_) {
    s.endTimestamp = lastTimestamp_;
    s.beginTimestamp = lastTimestamp_ > interval_ ? lastTimestamp_ - interval_ : 0;
  } else if (!haveBegin_) {
    s.beginTimestamp = s.endTimestamp > interval_ ? s.endTimestamp - interval_ : 0;
  } else if (!haveEnd_) {
    s.endTimestamp = s.beginTimestamp + interval_;
  }
  haveBegin_ = haveEnd_ = false;
  if (s.beginTimestamp > s.endTimestamp) {
    log_(Level::Debug, "sample start timestamp is later than sample stop time stamp");
    s.beginTimestamp = s.endTimestamp;
  }
  if (!threadValid_) {
    std::ostringstream line;
    line << "skipping sample with invalid thread id (tgid=" << s.tgid << " tid=" << s.tid << ")";
    log_(Level::Debug, line.str());
    s = QVDriverSample();
    return;
  }
  samples_.push_back(std::move(s));
  s = QVDriverSample();
}

void QVDriverSampleDecoder::_adapt(uint32_t factor) {
  if (factor <= adaptFactor_) return;
  // The driver's factor is relative to the interval sampling began with;
  // thin what was taken at the finer interval so every part of the
  // recording weighs samples alike: keep every ratio-th sample of each
  // processor.
  const uint32_t ratio = factor / adaptFactor_;
  const size_t before = samples_.size();
  std::vector<uint64_t> seen(processorCount_, 0);
  size_t kept = 0;
  for (size_t i = 0; i < samples_.size(); ++i) {
    if (seen[samples_[i].processor % processorCount_]++ % ratio != 0) continue;
    if (kept != i) samples_[kept] = std::move(samples_[i]);
    ++kept;
  }
  samples_.resize(kept);
  std::ostringstream line;
  line << "] OP_QV_ADAPT_SAMPLING_INTERVAL_CODE - adapted " << before << " samples at " << ratio << "x decimation into "
       << kept << " samples.";
  log_(Level::Debug, line.str());
  std::ostringstream scaled;
  scaled << "] OP_QV_ADAPT_SAMPLING_INTERVAL_CODE - scaled buffer adapt factor of " << adaptFactor_ << "x by " << ratio
         << " -> " << factor;
  log_(Level::Debug, scaled.str());
  adaptFactor_ = factor;
  interval_ *= ratio;
}

bool QVDriverSampleDecoder::decode(QVDriverBufferCursorAbstract& cursor, bool is64, uint64_t& processed) {
  _startFileBuffer();
  QVDriverEventScanner scanner(cursor, is64);
  QVDriverStreamItem item;
  while (scanner.next(item)) {
    if (item.kind == QVDriverStreamItem::Entry) {
      if (trace_ == Trace::Frames && pending_) {
        if (inKernel_ && sample_.kernelFrames == sample_.addresses.size()) ++sample_.kernelFrames;
        sample_.addresses.push_back(item.first);
        continue;
      }
      _flush();
      pending_ = true;
      sample_.tgid = tgid_;
      sample_.tid = tid_;
      sample_.processor = processor_;
      sample_.kernel = inKernel_;
      sample_.addresses.assign(1, item.first);
      sample_.kernelFrames = inKernel_ ? 1 : 0;
      if (trace_ == Trace::Begun) trace_ = Trace::Frames;
      continue;
    }
    switch (item.code) {
      case OP_CTX_SWITCH_CODE:
        _flush();
        tid_ = item.first;
        tgid_ = item.second;
        threadValid_ = threadKnown_(tgid_, tid_);
        break;
      case OP_CPU_SWITCH_CODE:
        _flush();
        if (item.first >= processorCount_) {
          std::ostringstream line;
          line << "] invalid cpu index in CPU_SWITCH_CODE, using cpu index 0 as default: " << item.first;
          log_(Level::Warning, line.str());
          processor_ = 0;
        } else {
          processor_ = uint32_t(item.first);
        }
        break;
      case OP_KERNEL_ENTER_SWITCH_CODE:
        inKernel_ = true;
        break;
      case OP_KERNEL_EXIT_SWITCH_CODE:
        inKernel_ = false;
        break;
      case OP_MODULE_LOADED_CODE:
        log_(Level::Debug, "] OP_MODULE_LOADED_CODE");
        break;
      case OP_TRACE_BEGIN_CODE:
        _flush();
        trace_ = Trace::Begun;
        break;
      case OP_TRACE_END_CODE:
        trace_ = Trace::Normal;
        pendingClosed_ = pending_;
        break;
      case OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE:
        // A begin stamp opens the next sample: whatever is pending is done.
        if (pendingClosed_) _flush();
        sample_.beginTimestamp = item.first;
        haveBegin_ = true;
        lastTimestamp_ = item.first;
        break;
      case OP_QV_SAMPLE_END_TIMESTAMP_CODE:
        sample_.endTimestamp = item.first;
        haveEnd_ = true;
        lastTimestamp_ = item.first;
        _flush();
        break;
      case OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE:
        windowBegin_[processor_] = item.first;
        lastTimestamp_ = item.first;
        break;
      case OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE:
        windowEnd_[processor_] = item.first;
        lastTimestamp_ = item.first;
        break;
      case OP_QV_ADAPT_SAMPLING_INTERVAL_CODE:
        _flush();
        _adapt(uint32_t(item.first));
        break;
      default:
        // Cookies, domains and IBS markers carry nothing this decoder uses.
        break;
    }
  }
  _flush();
  processed = cursor.index();
  switch (scanner.fault()) {
    case QVDriverStreamFault::None:
      return true;
    case QVDriverStreamFault::UnknownCode: {
      std::ostringstream line;
      line << "unknown escape code 0x" << std::hex << scanner.faultCode();
      log_(Level::Warning, line.str());
      return false;
    }
    case QVDriverStreamFault::UnterminatedEscape:
      log_(Level::Warning, "] unterminated escape code sequence");
      return false;
    case QVDriverStreamFault::UnterminatedPayload:
      if (scanner.faultCode() == OP_CTX_SWITCH_CODE) {
        log_(Level::Warning, "] OP_CTX_SWITCH_CODE: unterminated sequence");
      } else {
        log_(Level::Warning, "] " + scanner.faultText());
      }
      return false;
    case QVDriverStreamFault::UnterminatedEntry:
      log_(Level::Warning, "] " + scanner.faultText());
      return false;
  }
  return false;
}

void QVDriverSampleDecoder::finish() {
  size_t kept = 0;
  for (size_t i = 0; i < samples_.size(); ++i) {
    const QVDriverSample& s = samples_[i];
    const uint32_t cpu = s.processor % processorCount_;
    const bool early = windowBegin_[cpu] && s.endTimestamp < windowBegin_[cpu];
    const bool late = windowEnd_[cpu] && s.endTimestamp > windowEnd_[cpu];
    if (early || late) continue;
    if (kept != i) samples_[kept] = std::move(samples_[i]);
    ++kept;
  }
  samples_.resize(kept);
}

}  // namespace Quorvel
