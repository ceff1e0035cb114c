#include "Linux/perf/QVPerfCallchain.h"

#include "Linux/perf/QVPerfDataFile.h"

namespace Quorvel {

bool QVPerfCallchainFrames(const QVPerfSample& sample, std::uint64_t& context,
                           std::vector<std::uint64_t>& frames) {
  context = 0;
  frames.clear();
  for (std::uint64_t i = 0; i < sample.callchainCount; ++i) {
    const std::uint64_t entry = sample.callchainAt(i);
    if (entry < QV_PERF_CONTEXT_MAX) {
      frames.push_back(entry);
      continue;
    }
    if (context) {
      // A system call's kernel frames go on into the user frames that made
      // it: one stack, read in the kernel's context, whose user part the
      // archiver resolves through the process.
      if (context == QV_PERF_CONTEXT_KERNEL && entry == QV_PERF_CONTEXT_USER) continue;
      break;
    }
    context = entry;
    if (context != QV_PERF_CONTEXT_KERNEL && context != QV_PERF_CONTEXT_USER) return false;
    if (i + 1 >= sample.callchainCount || sample.callchainAt(i + 1) != sample.ip) frames.push_back(sample.ip);
  }
  constexpr std::uint16_t kCpumodeMask = 7, kCpumodeKernel = 1, kCpumodeUser = 2;
  const std::uint16_t mode = sample.misc & kCpumodeMask;
  if (!context && sample.ip != ~0ull && (mode == kCpumodeKernel || mode == kCpumodeUser)) {
    context = mode == kCpumodeKernel ? QV_PERF_CONTEXT_KERNEL : QV_PERF_CONTEXT_USER;
    frames.assign(1, sample.ip);
  }
  return true;
}

}  // namespace Quorvel
