#pragma once

#include <linux/perf_event.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

/// One perf event counting every task on one processor, with its ring
/// buffer mapped. The descriptor and the mapping go with the object.
class QVPerfRing {
 public:
  /// Opens attr on cpu, disabled and waking its reader a quarter full,
  /// and maps its ring; null with error set when the kernel refuses.
  static std::unique_ptr<QVPerfRing> open(perf_event_attr attr, unsigned cpu, std::string& error);
  /// One ring per processor 0..count-1 into rings; on the first refusal
  /// rings is left empty and error says which processor refused.
  static bool openEach(const perf_event_attr& attr, unsigned count, std::vector<std::unique_ptr<QVPerfRing>>& rings,
                       std::string& error);
  ~QVPerfRing();
  QVPerfRing(const QVPerfRing&) = delete;
  QVPerfRing& operator=(const QVPerfRing&) = delete;

  unsigned cpu() const { return cpu_; }
  int fd() const { return fd_; }
  bool enable() const;
  bool disable() const;
  bool setPeriod(uint64_t period) const;

  using Take = std::function<void(std::vector<unsigned char>& record)>;
  /// Hands every whole record the ring holds, header first and unwrapped,
  /// to take (which may keep it by moving from it), then frees its space.
  /// One thread drains a ring.
  void drain(const Take& take);

 private:
  QVPerfRing(unsigned cpu, int fd, void* base, size_t length, size_t dataSize);

  unsigned cpu_;
  int fd_;
  void* base_;
  size_t length_;
  size_t dataSize_;
  std::vector<unsigned char> record_;
};

}  // namespace Quorvel
