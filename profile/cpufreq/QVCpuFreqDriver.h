#pragma once

#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>

namespace Quorvel {

// The frequency controls of one processor: its governors and frequencies,
// the current settings, and a saved copy of them to go back to.
//
// Frequencies are in the units of the platform's files (kHz on Linux).
// The readers answer "" or 0 when the processor offers no frequency scaling
// or a value cannot be read; the setters answer false and log why.
class QVCpuFreqDriver {
 public:
  // What restore() puts back. A user frequency of 0 means "none" and is
  // never written.
  struct Settings {
    std::string governor;
    uint64_t minimum = 0;
    uint64_t maximum = 0;
    uint64_t user = 0;
    bool operator==(const Settings& other) const {
      return governor == other.governor && minimum == other.minimum && maximum == other.maximum &&
             user == other.user;
    }
  };

  virtual ~QVCpuFreqDriver() = default;

  virtual bool isAvailable() const;
  virtual bool isValidGovernor(const std::string& name) const;
  virtual bool isValidFrequency(uint64_t frequency) const;
  // The extremes of the available frequencies; 0 when there are none.
  virtual uint64_t minValidFrequency() const;
  virtual uint64_t maxValidFrequency() const;

  virtual std::string governor() const = 0;
  // 0 unless the governor lets user space choose the frequency.
  virtual uint64_t userScalingFrequency() const = 0;
  virtual uint64_t minScalingFrequency() const = 0;
  virtual uint64_t maxScalingFrequency() const = 0;
  virtual bool setGovernor(const std::string& name) = 0;
  virtual bool setUserScalingFrequency(uint64_t frequency) = 0;
  virtual bool setMinScalingFrequency(uint64_t frequency) = 0;
  virtual bool setMaxScalingFrequency(uint64_t frequency) = 0;

  // Takes the current settings as the restore point; true.
  virtual bool save();
  // Puts the saved governor, maximum, minimum and user frequency back in
  // that order, skipping values that are not available now. True when every
  // write made succeeded.
  virtual bool restore();

  const std::set<std::string>& governors() const { return governors_; }
  const std::set<uint64_t>& frequencies() const { return frequencies_; }
  const Settings& savedSettings() const { return saved_; }
  // Replaces the restore point, e.g. with settings a process that ended
  // without restoring left behind.
  void setSavedSettings(const Settings& settings) { saved_ = settings; }

  void getDescription(std::ostream& os) const;

 protected:
  std::set<std::string> governors_;
  std::set<uint64_t> frequencies_;
  Settings saved_;
  bool available_ = false;
};

std::ostream& operator<<(std::ostream& os, const QVCpuFreqDriver& driver);

}  // namespace Quorvel
