#include "Linux/cpufreq/QVCpuFreqLinux.h"

#include <mutex>

#include "base/QVFormat.h"
#include "base/QVLog.h"
#include "system/QVMachine.h"

namespace Quorvel {

namespace {

// The cpufreq files count in kHz.
std::string frequencyText(uint64_t kilohertz) { return FormatFrequencyHz(kilohertz * 1000); }

}  // namespace

std::shared_ptr<QVCpuFreq> QVCpuFreq::defaultCpuFreq() {
  static std::once_flag once;
  static std::shared_ptr<QVCpuFreq> instance;
  std::call_once(once, [] { instance = std::make_shared<QVCpuFreqLinux>(); });
  return instance;
}

QVCpuFreqLinux::QVCpuFreqLinux() {
  const unsigned count = LocalMachineProcessorCount();
  drivers_.reserve(count);
  for (unsigned index = 0; index < count; ++index) drivers_.push_back(std::make_shared<QVCpuFreqDriverLinux>(index));
}

QVCpuFreqLinux::~QVCpuFreqLinux() { stop(); }

bool QVCpuFreqLinux::hasAvailableProcessor() const {
  for (const auto& driver : drivers_) {
    if (driver->isAvailable()) return true;
  }
  return false;
}

bool QVCpuFreqLinux::start() {
  bool result = true;
  for (const auto& driver : drivers_) {
    if (!driver->isAvailable()) continue;
    const unsigned index = driver->index();
    const uint64_t top = driver->maxValidFrequency();
    if (driver->setGovernor("performance")) {
      // "performance" runs at the policy's maximum; raising the minimum too
      // keeps a later governor change or a thermal hint from lowering it.
      if (!driver->setMaxScalingFrequency(top)) {
        QV_WARNING("CPU" << index << ": unable to set maximum scaling frequency to " << frequencyText(top));
        result = false;
      }
      if (!driver->setMinScalingFrequency(top)) {
        QV_WARNING("CPU" << index << ": unable to set minimum scaling frequency to " << frequencyText(top));
        result = false;
      }
    } else if (driver->setGovernor("userspace")) {
      if (!driver->setUserScalingFrequency(top)) {
        QV_WARNING("CPU" << index << ": unable to set user scaling frequency to " << frequencyText(top));
        result = false;
      }
    } else {
      QV_ERROR("CPU" << index << ": unable to switch to 'performance' or 'userspace' governor");
      result = false;
    }
  }
  return result;
}

bool QVCpuFreqLinux::stop() {
  bool result = true;
  for (const auto& driver : drivers_) {
    if (!driver->isAvailable()) continue;
    if (!driver->restore()) {
      QV_WARNING("CPU" << driver->index() << ": failed to restore cpu frequency settings");
      result = false;
    }
  }
  return result;
}

}  // namespace Quorvel
