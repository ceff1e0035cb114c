#pragma once

#include <iosfwd>
#include <memory>
#include <string>

namespace Quorvel {

class QVCpuFreqLinux;

namespace qvprof {

// Pins every processor's frequency for the life of a recording and puts the
// settings back on every way out: the destructor restores after a normal
// end, a stop signal or an exception. Against the ways out no destructor
// sees (SIGKILL, a crash, a power cut) the settings to restore are written
// to a state file before anything is pinned; restoreLeftover(), which the
// next pinning run and "qvprof cpufreq --restore" call, puts them back.
//
// Trouble with frequency scaling never stops a recording: every problem
// becomes one "qvprof: ..." line on the given stream and the recording goes
// on unpinned or partly pinned.
class CpuFreqPin {
 public:
  // /run/qvprof/cpufreq.state (below a fixture root when one is set).
  static std::string statePath();

  enum class Leftover {
    None,      // no state file: nothing was left pinned
    Restored,  // put back and the state file removed
    Failed,    // some settings could not be written; the state file stays
  };
  static Leftover restoreLeftover(std::ostream& err);

  explicit CpuFreqPin(std::ostream& err);
  ~CpuFreqPin();
  CpuFreqPin(const CpuFreqPin&) = delete;
  CpuFreqPin& operator=(const CpuFreqPin&) = delete;

  // Whether any processor was pinned (and will be restored).
  bool pinned() const { return cpufreq_ != nullptr; }
  // Restores now (once) and removes the state file when every processor
  // was restored. True when nothing is left pinned.
  bool restore();

 private:
  bool _writeState(std::string& error) const;

  std::ostream& err_;
  std::unique_ptr<QVCpuFreqLinux> cpufreq_;
};

}  // namespace qvprof
}  // namespace Quorvel
