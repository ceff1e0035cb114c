#include "QVPerfRing.h"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Quorvel {

namespace {

// 64 data pages per processor: at 1 kHz with 127-frame chains a ring holds
// well over the drain interval's worth of samples.
constexpr size_t kDataPages = 64;

}  // namespace

std::unique_ptr<QVPerfRing> QVPerfRing::open(perf_event_attr attr, unsigned cpu, std::string& error) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  const size_t dataSize = kDataPages * page;
  attr.size = sizeof attr;
  attr.disabled = 1;
  attr.watermark = 1;
  attr.wakeup_watermark = uint32_t(dataSize / 4);
  const int fd = int(syscall(SYS_perf_event_open, &attr, -1, int(cpu), -1, PERF_FLAG_FD_CLOEXEC));
  if (fd < 0) {
    error = "perf_event_open on cpu " + std::to_string(cpu) + ": " + std::strerror(errno);
    return nullptr;
  }
  const size_t length = dataSize + page;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    error = "mmap of perf ring on cpu " + std::to_string(cpu) + ": " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<QVPerfRing>(new QVPerfRing(cpu, fd, base, length, dataSize));
}

bool QVPerfRing::openEach(const perf_event_attr& attr, unsigned count, std::vector<std::unique_ptr<QVPerfRing>>& rings,
                          std::string& error) {
  rings.clear();
  for (unsigned cpu = 0; cpu < count; ++cpu) {
    std::unique_ptr<QVPerfRing> ring = open(attr, cpu, error);
    if (!ring) {
      rings.clear();
      return false;
    }
    rings.push_back(std::move(ring));
  }
  return true;
}

QVPerfRing::QVPerfRing(unsigned cpu, int fd, void* base, size_t length, size_t dataSize)
    : cpu_(cpu), fd_(fd), base_(base), length_(length), dataSize_(dataSize) {}

QVPerfRing::~QVPerfRing() {
  munmap(base_, length_);
  close(fd_);
}

bool QVPerfRing::enable() const { return ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0) == 0; }

bool QVPerfRing::disable() const { return ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0) == 0; }

bool QVPerfRing::setPeriod(uint64_t period) const { return ioctl(fd_, PERF_EVENT_IOC_PERIOD, &period) == 0; }

void QVPerfRing::drain(const Take& take) {
  auto* meta = static_cast<perf_event_mmap_page*>(base_);
  const unsigned char* data = static_cast<const unsigned char*>(base_) + meta->data_offset;
  const uint64_t size = meta->data_size ? meta->data_size : dataSize_;
  const uint64_t head = __atomic_load_n(&meta->data_head, __ATOMIC_ACQUIRE);
  uint64_t tail = meta->data_tail;
  while (tail + sizeof(perf_event_header) <= head) {
    perf_event_header header;
    for (size_t i = 0; i < sizeof header; ++i) reinterpret_cast<unsigned char*>(&header)[i] = data[(tail + i) % size];
    if (header.size < sizeof header || tail + header.size > head) break;
    record_.resize(header.size);
    for (size_t i = 0; i < header.size; ++i) record_[i] = data[(tail + i) % size];
    tail += header.size;
    take(record_);
  }
  __atomic_store_n(&meta->data_tail, tail, __ATOMIC_RELEASE);
}

}  // namespace Quorvel
