#include "Linux/cpufreq/QVCpuFreqDriverLinux.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/QVLog.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "proc/QVTextReader.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

bool QVCpuFreqDriverLinux::debug_ = std::getenv("QV_DEBUG_CPUFREQ_DRIVER_LINUX") != nullptr;

namespace {

const char* const kUserspace = "userspace";

// The blank- and newline-separated words of a cpufreq list file.
std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> result;
  QVTextReader lines(text);
  for (std::string_view line; lines.nextLine(line);) {
    QVTextReader fields(line);
    for (std::string_view field; fields.nextField(field);) result.push_back(field);
  }
  return result;
}

}  // namespace

QVCpuFreqDriverLinux::QVCpuFreqDriverLinux(unsigned index)
    : index_(index),
      directory_(QVSystemPaths::path("/sys/devices/system/cpu/cpu" + std::to_string(index) + "/cpufreq")) {
  available_ = DirectoryExists(directory_);
  if (available_) filesystem_ = std::make_shared<QVDriverFilesystem>(directory_);
  _readGovernors();
  _readFrequencies();
  save();
}

std::string QVCpuFreqDriverLinux::_readText(const std::string& name) const {
  std::string text;
  if (!filesystem_ || !filesystem_->readString(name, text)) return std::string();
  return std::string(QVTextReader::trim(text));
}

uint64_t QVCpuFreqDriverLinux::_readNumber(const std::string& name) const {
  return QVTextReader::parseUnsigned(_readText(name)).value_or(0);
}

void QVCpuFreqDriverLinux::_readGovernors() {
  governors_.clear();
  const std::string text = _readText("scaling_available_governors");
  for (std::string_view field : words(text)) {
    const std::string name(field);
    if (governors_.insert(name).second && debug_) QV_DEBUG("CPU" << index_ << ": added governor " << name);
  }
}

void QVCpuFreqDriverLinux::_readFrequencies() {
  frequencies_.clear();
  const std::string text = _readText("scaling_available_frequencies");
  for (std::string_view field : words(text)) {
    // A word that is not a number (some drivers append notes) names no
    // frequency that could be written back.
    const std::optional<uint64_t> frequency = QVTextReader::parseUnsigned(field);
    if (!frequency) continue;
    if (frequencies_.insert(*frequency).second && debug_) {
      QV_DEBUG("CPU" << index_ << ": added frequency " << *frequency);
    }
  }
}

std::string QVCpuFreqDriverLinux::governor() const { return _readText("scaling_governor"); }

uint64_t QVCpuFreqDriverLinux::maxScalingFrequency() const { return _readNumber("scaling_max_freq"); }

uint64_t QVCpuFreqDriverLinux::minScalingFrequency() const { return _readNumber("scaling_min_freq"); }

uint64_t QVCpuFreqDriverLinux::userScalingFrequency() const {
  // Under any other governor the kernel chooses, and a value saved from
  // scaling_cur_freq would be a snapshot, not a setting to restore.
  if (governor() != kUserspace) return 0;
  return _readNumber("scaling_cur_freq");
}

uint64_t QVCpuFreqDriverLinux::currentFrequency() const { return _readNumber("scaling_cur_freq"); }

bool QVCpuFreqDriverLinux::setGovernor(const std::string& name) {
  if (!isValidGovernor(name)) {
    QV_ERROR("CPU" << index_ << ": governor '" << name << "' is not available");
    return false;
  }
  if (governor() == name) {
    if (debug_) QV_DEBUG("CPU" << index_ << ": leaving governor as '" << name << "'");
    return true;
  }
  // The kernel accepts a write it then ignores (a policy shared with another
  // processor, a driver that vetoes the governor), so the read-back decides.
  filesystem_->writeString("scaling_governor", name);
  if (governor() == name) {
    if (debug_) QV_DEBUG("CPU" << index_ << ": switched to '" << name << "' governor");
    _readFrequencies();
    return true;
  }
  QV_ERROR("CPU" << index_ << ": failed to switch to '" << name << "' governor");
  return false;
}

bool QVCpuFreqDriverLinux::_setFrequency(const std::string& file, const std::string& what, uint64_t frequency,
                                         uint64_t current) {
  if (current == frequency) {
    if (debug_) QV_DEBUG("CPU" << index_ << ": leaving " << what << " as " << frequency);
    return true;
  }
  if (filesystem_->writeString(file, std::to_string(frequency))) {
    if (debug_) QV_DEBUG("CPU" << index_ << ": switched " << what << " to " << frequency);
    return true;
  }
  QV_ERROR("CPU" << index_ << ": failed to switch " << what << " to " << frequency);
  return false;
}

bool QVCpuFreqDriverLinux::setMaxScalingFrequency(uint64_t frequency) {
  if (!isValidFrequency(frequency)) {
    QV_ERROR("CPU" << index_ << ": frequency '" << frequency << "' is not available");
    return false;
  }
  return _setFrequency("scaling_max_freq", "max scaling frequency", frequency, maxScalingFrequency());
}

bool QVCpuFreqDriverLinux::setMinScalingFrequency(uint64_t frequency) {
  if (!isValidFrequency(frequency)) {
    QV_ERROR("CPU" << index_ << ": frequency '" << frequency << "' is not available");
    return false;
  }
  return _setFrequency("scaling_min_freq", "min scaling frequency", frequency, minScalingFrequency());
}

bool QVCpuFreqDriverLinux::setUserScalingFrequency(uint64_t frequency) {
  if (!isValidFrequency(frequency)) {
    QV_ERROR("CPU" << index_ << ": frequency '" << frequency << "' is not available");
    return false;
  }
  const uint64_t current = userScalingFrequency();
  // scaling_setspeed only takes a value under the userspace governor; any
  // other governor would reject it, so there is nothing worth logging.
  if (current != frequency && governor() != kUserspace) return false;
  return _setFrequency("scaling_setspeed", "user scaling frequency", frequency, current);
}

}  // namespace Quorvel
