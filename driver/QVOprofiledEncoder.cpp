#include "QVOprofiledEncoder.h"

#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"

namespace Quorvel {

std::vector<unsigned char> QVOprofiledEncoder::encode(uint32_t cpu, uint32_t pid, uint32_t tid,
                                                      const std::vector<QVProfiledPerfSampler::Frame>& frames,
                                                      bool callchains) const {
  QVDriverEventWriter w(true);
  if (frames.empty()) return w.bytes();
  uint64_t cookie = 0, offset = 0, program = 0;
  // The program's cookie is the first mapping's, whatever the pc hit.
  table_.locate(pid, frames.front().address, cookie, offset, program);
  w.control(OP_CPU_SWITCH_CODE, cpu);
  w.control(OP_CTX_SWITCH_CODE, tid, program);
  w.control(OP_CTX_TGID_CODE, pid);
  // A context switch leaves no file selected.
  uint64_t current = 0;
  bool kernel = frames.front().kernel;
  if (kernel) w.control(OP_KERNEL_ENTER_SWITCH_CODE);
  if (callchains) w.control(OP_TRACE_BEGIN_CODE);
  for (const QVProfiledPerfSampler::Frame& frame : frames) {
    if (kernel && !frame.kernel) {
      w.control(OP_KERNEL_EXIT_SWITCH_CODE);
      kernel = false;
    }
    if (frame.kernel) {
      w.entry(frame.address, 0);
      continue;
    }
    uint64_t address = frame.address;
    if (table_.locate(pid, frame.address, cookie, offset, program)) {
      address = offset;
    } else {
      cookie = 0;
    }
    if (cookie != current) {
      w.control(OP_COOKIE_SWITCH_CODE, cookie);
      current = cookie;
    }
    w.entry(address, 0);
  }
  if (callchains) w.control(OP_TRACE_END_CODE);
  if (kernel) w.control(OP_KERNEL_EXIT_SWITCH_CODE);
  return w.bytes();
}

}  // namespace Quorvel
