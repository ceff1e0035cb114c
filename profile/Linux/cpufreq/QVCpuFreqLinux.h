#pragma once

#include <memory>
#include <vector>

#include "cpufreq/QVCpuFreq.h"
#include "Linux/cpufreq/QVCpuFreqDriverLinux.h"

namespace Quorvel {

// Frequency pinning over the cpufreq directories of every possible
// processor (0 to LocalMachineProcessorCount() - 1). start() prefers the
// "performance" governor with minimum and maximum at the top frequency and
// falls back to "userspace" at that frequency; it goes on past a processor
// it cannot pin and answers false at the end.
class QVCpuFreqLinux : public QVCpuFreq {
 public:
  // Reads every processor's settings as the restore point.
  QVCpuFreqLinux();
  ~QVCpuFreqLinux() override;
  QVCpuFreqLinux(const QVCpuFreqLinux&) = delete;
  QVCpuFreqLinux& operator=(const QVCpuFreqLinux&) = delete;

  bool start() override;
  bool stop() override;

  // One per processor index, available or not.
  const std::vector<std::shared_ptr<QVCpuFreqDriverLinux>>& drivers() const { return drivers_; }
  // Whether any processor offers frequency scaling.
  bool hasAvailableProcessor() const;

 private:
  std::vector<std::shared_ptr<QVCpuFreqDriverLinux>> drivers_;
};

}  // namespace Quorvel
