#include "cpufreq/QVCpuFreqDriver.h"

#include <ostream>

namespace Quorvel {

bool QVCpuFreqDriver::isAvailable() const { return available_; }

bool QVCpuFreqDriver::isValidGovernor(const std::string& name) const { return governors_.count(name) != 0; }

bool QVCpuFreqDriver::isValidFrequency(uint64_t frequency) const { return frequencies_.count(frequency) != 0; }

uint64_t QVCpuFreqDriver::minValidFrequency() const { return frequencies_.empty() ? 0 : *frequencies_.begin(); }

uint64_t QVCpuFreqDriver::maxValidFrequency() const { return frequencies_.empty() ? 0 : *frequencies_.rbegin(); }

bool QVCpuFreqDriver::save() {
  saved_.governor = governor();
  saved_.minimum = minScalingFrequency();
  saved_.maximum = maxScalingFrequency();
  saved_.user = userScalingFrequency();
  return true;
}

bool QVCpuFreqDriver::restore() {
  // The governor first: it decides which frequencies are available and
  // whether a user frequency may be written at all. The maximum goes before
  // the minimum because restoring usually lowers the minimum from a pinned
  // maximum, and a minimum above the maximum is refused.
  bool result = true;
  if (isValidGovernor(saved_.governor)) result = setGovernor(saved_.governor) && result;
  if (isValidFrequency(saved_.maximum)) result = setMaxScalingFrequency(saved_.maximum) && result;
  if (isValidFrequency(saved_.minimum)) result = setMinScalingFrequency(saved_.minimum) && result;
  if (saved_.user != 0 && isValidFrequency(saved_.user)) result = setUserScalingFrequency(saved_.user) && result;
  return result;
}

void QVCpuFreqDriver::getDescription(std::ostream& os) const {
  os << "QVCpuFreqDriver(available=" << (available_ ? "yes" : "no") << " governors=" << governors_.size()
     << " frequencies=" << frequencies_.size() << " saved governor='" << saved_.governor << "' min=" << saved_.minimum
     << " max=" << saved_.maximum << " user=" << saved_.user << ")";
}

std::ostream& operator<<(std::ostream& os, const QVCpuFreqDriver& driver) {
  driver.getDescription(os);
  return os;
}

}  // namespace Quorvel
