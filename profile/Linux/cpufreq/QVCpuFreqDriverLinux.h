#pragma once

#include <memory>
#include <string>

#include "cpufreq/QVCpuFreqDriver.h"

namespace Quorvel {

class QVDriverFilesystem;

// One processor's cpufreq directory, /sys/devices/system/cpu/cpuN/cpufreq
// (resolved through QVSystemPaths, so a fixture root can stand in for /sys).
//
// Construction reads the available governors and frequencies and saves the
// current settings as the restore point. Without the directory the driver is
// unavailable, holds no filesystem, reads "" and 0, and every setter fails.
// Messages go to the log prefixed "CPU<index>: "; the DEBUG ones only when
// QV_DEBUG_CPUFREQ_DRIVER_LINUX is set.
class QVCpuFreqDriverLinux : public QVCpuFreqDriver {
 public:
  static bool debug_;  ///< QV_DEBUG_CPUFREQ_DRIVER_LINUX

  explicit QVCpuFreqDriverLinux(unsigned index);

  unsigned index() const { return index_; }
  // The cpufreq directory as resolved when the driver was made.
  const std::string& directory() const { return directory_; }
  const std::shared_ptr<QVDriverFilesystem>& filesystem() const { return filesystem_; }

  std::string governor() const override;
  uint64_t userScalingFrequency() const override;
  uint64_t minScalingFrequency() const override;
  uint64_t maxScalingFrequency() const override;
  // The frequency the kernel reports the processor running at; 0 when
  // unknown. For status displays: the setters never consult it.
  uint64_t currentFrequency() const;

  bool setGovernor(const std::string& name) override;
  bool setUserScalingFrequency(uint64_t frequency) override;
  bool setMinScalingFrequency(uint64_t frequency) override;
  bool setMaxScalingFrequency(uint64_t frequency) override;

 private:
  std::string _readText(const std::string& name) const;
  uint64_t _readNumber(const std::string& name) const;
  void _readGovernors();
  void _readFrequencies();
  // The shared shape of the three frequency setters; `what` names the
  // setting in messages ("max scaling frequency").
  bool _setFrequency(const std::string& file, const std::string& what, uint64_t frequency, uint64_t current);

  unsigned index_;
  std::string directory_;
  std::shared_ptr<QVDriverFilesystem> filesystem_;
};

}  // namespace Quorvel
