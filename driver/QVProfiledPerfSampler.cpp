#include "QVProfiledPerfSampler.h"

#include <linux/perf_event.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"

namespace Quorvel {

namespace {

/// The kernel's cap on call-chain frames (perf_event_max_stack), 127 when unreadable.
uint16_t kernelMaxStack() {
  FILE* file = std::fopen("/proc/sys/kernel/perf_event_max_stack", "r");
  unsigned value = 127;
  if (file) {
    if (std::fscanf(file, "%u", &value) != 1) value = 127;
    std::fclose(file);
  }
  return uint16_t(value > 0xffff ? 0xffff : value);
}

uint64_t monotonicNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

}  // namespace

QVProfiledPerfSampler::QVProfiledPerfSampler(QVProfiledEventQueue& queue, unsigned processorCount)
    : queue_(queue), processorCount_(processorCount), lost_(processorCount) {}

QVProfiledPerfSampler::~QVProfiledPerfSampler() { stop(); }

bool QVProfiledPerfSampler::start(const Settings& settings, std::string& error) {
  if (running_) return true;
  settings_ = settings;
  adaptFactor_ = 1;
  for (std::atomic<uint64_t>& lost : lost_) lost = 0;
  perf_event_attr attr;
  std::memset(&attr, 0, sizeof attr);
  attr.type = PERF_TYPE_SOFTWARE;
  attr.config = PERF_COUNT_SW_CPU_CLOCK;
  attr.sample_period = settings.periodNanos;
  attr.sample_type = PERF_SAMPLE_IP | PERF_SAMPLE_TID | PERF_SAMPLE_TIME | PERF_SAMPLE_CPU |
                     (settings.callchains ? PERF_SAMPLE_CALLCHAIN : 0);
  if (settings.callchains) {
    const uint16_t cap = kernelMaxStack();
    attr.sample_max_stack = uint16_t(settings.depth < cap ? settings.depth : cap);
  }
  attr.exclude_kernel = settings.kernel ? 0 : 1;
  attr.exclude_user = settings.user ? 0 : 1;
  attr.exclude_hv = 1;
  // The library reads its start and end ticks from the monotonic clock.
  attr.use_clockid = 1;
  attr.clockid = CLOCK_MONOTONIC;
  if (!QVPerfRing::openEach(attr, processorCount_, rings_, error)) return false;
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const uint64_t now = monotonicNanos();
  for (const auto& ring : rings_) {
    QVDriverEventWriter w(true);
    w.control(OP_CPU_SWITCH_CODE, ring->cpu());
    w.timestamp(OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE, now);
    queue_.pushNotice(w.bytes());
  }
  stopping_ = false;
  running_ = true;
  for (const auto& ring : rings_) ring->enable();
  thread_ = std::thread([this] { _drainLoop(); });
  return true;
}

void QVProfiledPerfSampler::stop() {
  if (running_) {
    for (const auto& ring : rings_) ring->disable();
    stopping_ = true;
    uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // The drain loop also wakes on its poll timeout.
    }
    if (thread_.joinable()) thread_.join();
    const uint64_t now = monotonicNanos();
    for (const auto& ring : rings_) {
      QVDriverEventWriter w(true);
      w.control(OP_CPU_SWITCH_CODE, ring->cpu());
      w.timestamp(OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE, now);
      queue_.pushNotice(w.bytes());
    }
    running_ = false;
  }
  rings_.clear();
  if (wakeFd_ >= 0) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
}

bool QVProfiledPerfSampler::adapt() {
  if (!running_) return false;
  uint64_t period = settings_.periodNanos * uint64_t(adaptFactor_) * 2;
  for (const auto& ring : rings_) {
    if (!ring->setPeriod(period)) return false;
  }
  adaptFactor_ *= 2;
  QVDriverEventWriter w(true);
  w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, adaptFactor_);
  queue_.pushNotice(w.bytes());
  return true;
}

uint64_t QVProfiledPerfSampler::lostRecords(unsigned cpu) const { return cpu < lost_.size() ? lost_[cpu].load() : 0; }

void QVProfiledPerfSampler::_drainLoop() {
  std::vector<pollfd> fds;
  for (const auto& ring : rings_) fds.push_back({ring->fd(), POLLIN, 0});
  fds.push_back({wakeFd_, POLLIN, 0});
  while (!stopping_) {
    // The timeout bounds how long samples sit in a ring below the watermark.
    poll(fds.data(), fds.size(), 20);
    for (const auto& ring : rings_) _drainRing(*ring);
  }
  for (const auto& ring : rings_) _drainRing(*ring);
}

void QVProfiledPerfSampler::_drainRing(QVPerfRing& ring) {
  ring.drain([this, &ring](std::vector<unsigned char>& record) {
    perf_event_header header;
    std::memcpy(&header, record.data(), sizeof header);
    if (header.type == PERF_RECORD_SAMPLE) {
      _emitSample(record.data(), record.size());
    } else if (header.type == PERF_RECORD_LOST && record.size() >= sizeof header + 16) {
      uint64_t lost;
      std::memcpy(&lost, record.data() + sizeof header + 8, 8);
      lost_[ring.cpu()] += lost;
    }
  });
}

void QVProfiledPerfSampler::_emitSample(const unsigned char* record, size_t size) {
  // Layout fixed by the sample_type bits: ip, pid/tid, time, cpu/res, callchain.
  size_t at = sizeof(perf_event_header);
  auto take = [&](uint64_t& out) {
    if (at + 8 > size) return false;
    std::memcpy(&out, record + at, 8);
    at += 8;
    return true;
  };
  uint64_t ip, pidTid, time, cpuRes, nr = 0;
  if (!take(ip) || !take(pidTid) || !take(time) || !take(cpuRes)) return;
  if (settings_.callchains && !take(nr)) return;
  const uint32_t pid = uint32_t(pidTid), tid = uint32_t(pidTid >> 32);
  // The idle task is no thread of any process: its ticks are the
  // processor's idle time, which the stream does not carry.
  if (pid == 0 && tid == 0) return;
  const uint32_t cpu = uint32_t(cpuRes);
  // Frames with the context each belongs to; the first is the sampled pc.
  std::vector<Frame> frames;
  bool inKernel = false;
  for (uint64_t i = 0; i < nr; ++i) {
    uint64_t address;
    if (!take(address)) return;
    if (address >= uint64_t(PERF_CONTEXT_MAX)) {
      if (address == uint64_t(PERF_CONTEXT_KERNEL))
        inKernel = true;
      else if (address == uint64_t(PERF_CONTEXT_USER))
        inKernel = false;
      continue;
    }
    frames.push_back({address, inKernel});
  }
  // Without a chain the pc alone tells the mode: x86-64 kernel text is in the upper half.
  if (frames.empty()) frames.push_back({ip, ip >= 0xffff800000000000ull});
  if (encoder_) {
    queue_.push(encoder_(cpu, pid, tid, frames));
    return;
  }

  // Each unit restates processor, thread and mode, so any chunk decodes on
  // its own whatever units precede it.
  QVDriverEventWriter w(true);
  w.control(OP_CPU_SWITCH_CODE, cpu);
  w.control(OP_CTX_SWITCH_CODE, tid, pid);
  w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, time - settings_.periodNanos * adaptFactor_);
  bool kernel = frames.front().kernel;
  if (kernel) w.control(OP_KERNEL_ENTER_SWITCH_CODE);
  if (settings_.callchains) w.control(OP_TRACE_BEGIN_CODE);
  for (const Frame& frame : frames) {
    if (kernel && !frame.kernel) {
      w.control(OP_KERNEL_EXIT_SWITCH_CODE);
      kernel = false;
    }
    w.entry(frame.address, 0);
  }
  if (settings_.callchains) w.control(OP_TRACE_END_CODE);
  if (kernel) w.control(OP_KERNEL_EXIT_SWITCH_CODE);
  w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, time);
  if (!queue_.push(w.bytes())) {
    // Counted by the queue as an event-buffer overflow.
  }
}

}  // namespace Quorvel
