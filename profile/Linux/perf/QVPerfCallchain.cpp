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
    if (context) break;
    context = entry;
    if (context != QV_PERF_CONTEXT_KERNEL && context != QV_PERF_CONTEXT_USER) return false;
    if (i + 1 >= sample.callchainCount || sample.callchainAt(i + 1) != sample.ip) frames.push_back(sample.ip);
  }
  return true;
}

}  // namespace Quorvel
