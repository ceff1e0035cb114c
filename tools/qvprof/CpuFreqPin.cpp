#include "CpuFreqPin.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "base/QVFormat.h"
#include "cpufreq/QVCpuFreqState.h"
#include "Linux/cpufreq/QVCpuFreqLinux.h"
#include "LogCapture.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace qvprof {

namespace {

// What the library logged while it read or wrote cpufreq files is the only
// account of which processor refused what; qvprof is otherwise quiet.
void reportProblems(const std::string& logged, std::ostream& err) {
  for (const std::string& message : LogCapture::problemsIn(logged)) err << "qvprof: cpufreq: " << message << '\n';
}

// mkdir -p for the state directory; false with errno's text in error.
bool makeDirectories(const std::string& directory, std::string& error) {
  if (directory.empty() || DirectoryExists(directory)) return true;
  if (!makeDirectories(PathDirectory(directory), error)) return false;
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    error = directory + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

size_t availableCount(const QVCpuFreqLinux& cpufreq) {
  size_t count = 0;
  for (const auto& driver : cpufreq.drivers()) count += driver->isAvailable() ? 1 : 0;
  return count;
}

}  // namespace

std::string CpuFreqPin::statePath() { return QVSystemPaths::path("/run/qvprof/cpufreq.state"); }

CpuFreqPin::Leftover CpuFreqPin::restoreLeftover(std::ostream& err) {
  const std::string path = statePath();
  if (!FileExists(path)) return Leftover::None;
  std::vector<QVCpuFreqState::Entry> entries;
  std::string error;
  const bool wellFormed = QVCpuFreqState::read(path, entries, error);
  if (!wellFormed && entries.empty() && !FileCanRead(path)) {
    err << "qvprof: cannot restore the CPU frequency settings an earlier qvprof left pinned: " << error << '\n';
    return Leftover::Failed;
  }

  bool restored = true;
  size_t count = 0;
  std::string logged;
  {
    LogCapture capture;
    QVCpuFreqLinux cpufreq;
    for (const QVCpuFreqState::Entry& entry : entries) {
      if (entry.index >= cpufreq.drivers().size() || !cpufreq.drivers()[entry.index]->isAvailable()) continue;
      cpufreq.drivers()[entry.index]->setSavedSettings(entry.settings);
      ++count;
    }
    restored = cpufreq.stop();
    // Before the destructor's own restore, which repeats any failure.
    logged = capture.stop();
  }
  reportProblems(logged, err);
  if (!restored) {
    err << "qvprof: could not restore every CPU frequency setting an earlier qvprof left pinned; they stay in "
        << path << " for 'qvprof cpufreq --restore'\n";
    return Leftover::Failed;
  }
  // A damaged file never gets better: keeping it would only block every
  // later pinning, so what it still named is restored and it goes.
  FileRemove(path);
  err << "qvprof: restored the CPU frequency settings of " << count << (count == 1 ? " processor" : " processors")
      << " an earlier qvprof left pinned" << (wellFormed ? "" : " (" + error + "; restored what it still named)")
      << '\n';
  return Leftover::Restored;
}

CpuFreqPin::CpuFreqPin(std::ostream& err) : err_(err) {
  if (restoreLeftover(err_) == Leftover::Failed) {
    err_ << "qvprof: not pinning CPU frequencies over settings that were never restored; recording anyway\n";
    return;
  }
  LogCapture capture;
  cpufreq_ = std::make_unique<QVCpuFreqLinux>();
  if (!cpufreq_->hasAvailableProcessor()) {
    cpufreq_.reset();
    reportProblems(capture.stop(), err_);
    err_ << "qvprof: no CPU frequency scaling on this machine (no /sys/devices/system/cpu/cpu*/cpufreq); "
            "recording without pinning\n";
    return;
  }
  std::string error;
  if (!_writeState(error)) {
    cpufreq_.reset();
    reportProblems(capture.stop(), err_);
    err_ << "qvprof: cannot keep the CPU frequency settings to restore (" << error
         << "); recording without pinning\n";
    return;
  }
  const bool allPinned = cpufreq_->start();
  const std::string logged = capture.stop();
  if (!allPinned) {
    reportProblems(logged, err_);
    err_ << "qvprof: could not pin every processor's frequency; recording anyway\n";
    return;
  }
  // When every processor was pinned, what was logged is the fallback from
  // "performance" to "userspace", which is no news to the user.
  uint64_t lowest = UINT64_MAX;
  uint64_t highest = 0;
  for (const auto& driver : cpufreq_->drivers()) {
    if (!driver->isAvailable()) continue;
    lowest = std::min(lowest, driver->maxValidFrequency());
    highest = std::max(highest, driver->maxValidFrequency());
  }
  const size_t count = availableCount(*cpufreq_);
  // The files count in kHz.
  err_ << "qvprof: pinned " << count << (count == 1 ? " processor" : " processors") << " at "
       << (lowest == highest ? FormatFrequencyHz(highest * 1000)
                             : FormatFrequencyHz(lowest * 1000) + " to " + FormatFrequencyHz(highest * 1000))
       << " for the recording\n";
}

CpuFreqPin::~CpuFreqPin() { restore(); }

bool CpuFreqPin::_writeState(std::string& error) const {
  const std::string path = statePath();
  if (!makeDirectories(PathDirectory(path), error)) return false;
  std::vector<QVCpuFreqState::Entry> entries;
  for (const auto& driver : cpufreq_->drivers()) {
    if (!driver->isAvailable()) continue;
    QVCpuFreqState::Entry entry;
    entry.index = driver->index();
    entry.settings = driver->savedSettings();
    entries.push_back(entry);
  }
  return QVCpuFreqState::write(path, entries, error);
}

bool CpuFreqPin::restore() {
  if (!cpufreq_) return true;
  LogCapture capture;
  const bool restored = cpufreq_->stop();
  reportProblems(capture.stop(), err_);
  // The destructor restores once more: with every setting back that only
  // reads, and after a failure it is one more (quiet) try.
  cpufreq_.reset();
  if (!restored) {
    err_ << "qvprof: could not restore every processor's frequency settings; they stay in " << statePath()
         << " for 'qvprof cpufreq --restore'\n";
    return false;
  }
  FileRemove(statePath());
  return true;
}

}  // namespace qvprof
}  // namespace Quorvel
