#include "QVProfiledPerfSampler.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/perf_event.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"

namespace Quorvel {

namespace {

// 64 data pages per processor: at 1 kHz with 127-frame chains a ring holds
// well over the drain interval's worth of samples.
constexpr size_t kDataPages = 64;

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

struct QVProfiledPerfSampler::Ring {
    unsigned cpu = 0;
    int fd = -1;
    void* base = nullptr;
    size_t length = 0;
    size_t dataSize = 0;
    std::atomic<uint64_t> lost{0};
    std::vector<unsigned char> scratch;

    ~Ring() {
        if (base) munmap(base, length);
        if (fd >= 0) close(fd);
    }
};

QVProfiledPerfSampler::QVProfiledPerfSampler(QVProfiledEventQueue& queue, unsigned processorCount)
    : queue_(queue), processorCount_(processorCount) {}

QVProfiledPerfSampler::~QVProfiledPerfSampler() { stop(); }

bool QVProfiledPerfSampler::start(const Settings& settings, std::string& error) {
    if (running_) return true;
    settings_ = settings;
    adaptFactor_ = 1;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (unsigned cpu = 0; cpu < processorCount_; ++cpu) {
        perf_event_attr attr;
        std::memset(&attr, 0, sizeof attr);
        attr.size = sizeof attr;
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
        attr.disabled = 1;
        // The library reads its start and end ticks from the monotonic clock.
        attr.use_clockid = 1;
        attr.clockid = CLOCK_MONOTONIC;
        attr.watermark = 1;
        attr.wakeup_watermark = uint32_t(kDataPages * page / 4);
        int fd = int(syscall(SYS_perf_event_open, &attr, -1, int(cpu), -1, PERF_FLAG_FD_CLOEXEC));
        if (fd < 0) {
            error = "perf_event_open on cpu " + std::to_string(cpu) + ": " + std::strerror(errno);
            stop();
            return false;
        }
        Ring* ring = new Ring;
        rings_.push_back(ring);
        ring->cpu = cpu;
        ring->fd = fd;
        ring->length = (kDataPages + 1) * page;
        ring->dataSize = kDataPages * page;
        void* base = mmap(nullptr, ring->length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base == MAP_FAILED) {
            error = "mmap of perf ring on cpu " + std::to_string(cpu) + ": " + std::strerror(errno);
            stop();
            return false;
        }
        ring->base = base;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const uint64_t now = monotonicNanos();
    for (Ring* ring : rings_) {
        QVDriverEventWriter w(true);
        w.control(OP_CPU_SWITCH_CODE, ring->cpu);
        w.timestamp(OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE, now);
        queue_.pushNotice(w.bytes());
    }
    stopping_ = false;
    running_ = true;
    for (Ring* ring : rings_) ioctl(ring->fd, PERF_EVENT_IOC_ENABLE, 0);
    thread_ = std::thread([this] { _drainLoop(); });
    return true;
}

void QVProfiledPerfSampler::stop() {
    if (running_) {
        for (Ring* ring : rings_) ioctl(ring->fd, PERF_EVENT_IOC_DISABLE, 0);
        stopping_ = true;
        uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) {
            // The drain loop also wakes on its poll timeout.
        }
        if (thread_.joinable()) thread_.join();
        const uint64_t now = monotonicNanos();
        for (Ring* ring : rings_) {
            QVDriverEventWriter w(true);
            w.control(OP_CPU_SWITCH_CODE, ring->cpu);
            w.timestamp(OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE, now);
            queue_.pushNotice(w.bytes());
        }
        running_ = false;
    }
    for (Ring* ring : rings_) delete ring;
    rings_.clear();
    if (wakeFd_ >= 0) {
        close(wakeFd_);
        wakeFd_ = -1;
    }
}

bool QVProfiledPerfSampler::adapt() {
    if (!running_) return false;
    uint64_t period = settings_.periodNanos * uint64_t(adaptFactor_) * 2;
    for (Ring* ring : rings_) {
        if (ioctl(ring->fd, PERF_EVENT_IOC_PERIOD, &period) != 0) return false;
    }
    adaptFactor_ *= 2;
    QVDriverEventWriter w(true);
    w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, adaptFactor_);
    queue_.pushNotice(w.bytes());
    return true;
}

uint64_t QVProfiledPerfSampler::lostRecords(unsigned cpu) const {
    for (const Ring* ring : rings_)
        if (ring->cpu == cpu) return ring->lost;
    return 0;
}

void QVProfiledPerfSampler::_drainLoop() {
    std::vector<pollfd> fds;
    for (Ring* ring : rings_) fds.push_back({ring->fd, POLLIN, 0});
    fds.push_back({wakeFd_, POLLIN, 0});
    while (!stopping_) {
        // The timeout bounds how long samples sit in a ring below the watermark.
        poll(fds.data(), fds.size(), 20);
        for (Ring* ring : rings_) _drainRing(*ring);
    }
    for (Ring* ring : rings_) _drainRing(*ring);
}

void QVProfiledPerfSampler::_drainRing(Ring& ring) {
    auto* meta = static_cast<perf_event_mmap_page*>(ring.base);
    const unsigned char* data = static_cast<const unsigned char*>(ring.base) + meta->data_offset;
    const uint64_t size = meta->data_size ? meta->data_size : ring.dataSize;
    uint64_t head = __atomic_load_n(&meta->data_head, __ATOMIC_ACQUIRE);
    uint64_t tail = meta->data_tail;
    while (tail + sizeof(perf_event_header) <= head) {
        perf_event_header header;
        for (size_t i = 0; i < sizeof header; ++i)
            reinterpret_cast<unsigned char*>(&header)[i] = data[(tail + i) % size];
        if (header.size < sizeof header || tail + header.size > head) break;
        ring.scratch.resize(header.size);
        for (size_t i = 0; i < header.size; ++i) ring.scratch[i] = data[(tail + i) % size];
        if (header.type == PERF_RECORD_SAMPLE) {
            _emitSample(ring, ring.scratch.data(), header.size);
        } else if (header.type == PERF_RECORD_LOST && header.size >= sizeof header + 16) {
            uint64_t lost;
            std::memcpy(&lost, ring.scratch.data() + sizeof header + 8, 8);
            ring.lost += lost;
        }
        tail += header.size;
    }
    __atomic_store_n(&meta->data_tail, tail, __ATOMIC_RELEASE);
}

void QVProfiledPerfSampler::_emitSample(Ring& ring, const unsigned char* record, size_t size) {
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
            if (address == uint64_t(PERF_CONTEXT_KERNEL)) inKernel = true;
            else if (address == uint64_t(PERF_CONTEXT_USER)) inKernel = false;
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
    (void)ring;
}

}  // namespace Quorvel
