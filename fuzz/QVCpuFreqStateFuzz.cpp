// Feeds arbitrary bytes to the reader of the cpufreq state file: every input
// must end in entries, never in a crash, a read out of bounds or a hang, and
// whatever it reads must survive being written and read again unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "cpufreq/QVCpuFreqState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using Quorvel::QVCpuFreqState;
  std::vector<QVCpuFreqState::Entry> entries;
  QVCpuFreqState::decode(std::string_view(reinterpret_cast<const char*>(data), size), entries);
  std::vector<QVCpuFreqState::Entry> again;
  if (!QVCpuFreqState::decode(QVCpuFreqState::encode(entries), again) || again.size() != entries.size()) std::abort();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (again[i].index != entries[i].index || !(again[i].settings == entries[i].settings)) std::abort();
  }
  return 0;
}
