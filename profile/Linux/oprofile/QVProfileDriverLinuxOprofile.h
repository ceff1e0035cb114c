#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Linux/driver/QVProfileDriverLinux.h"

namespace Quorvel {

/// One event of oprofile's description files: "event:0x3c counters:cpuid
/// um:zero minimum:6000 name:CPU_CLK_UNHALTED : description".
struct OprofileEvent {
  uint32_t code = 0;
  std::string counters;  ///< "cpuid" (every counter) or a comma list of counter numbers
  std::string unitMask;
  uint64_t minimum = 0;
  std::string name;
  std::string description;
};

/// One unit mask of oprofile's "unit_masks" files, with its values.
struct OprofileUnitMask {
  std::string name;
  std::string type;
  uint64_t defaultValue = 0;
  std::vector<std::pair<uint64_t, std::string>> values;
};

/// The oprofile kernel driver ("/dev/oprofile"). oprofile runs either in
/// timer mode ("cpu_type" "timer": the kernel's tick, no counters) or in
/// event mode (the processor's counters, described by oprofile's event and
/// unit-mask files); the mode is chosen when the module loads, so a
/// configuration that needs the other mode reloads it. A switch that fails
/// leaves the driver stuck in its mode for this object's life, and the
/// configuration check then names the triggers that remain.
class QVProfileDriverLinuxOprofile : public QVProfileDriverLinux {
 public:
  static bool disabled_;        ///< QV_DISABLE_OPROFILE_DRIVER
  static bool debugEventList_;  ///< QV_DEBUG_OPROFILE_EVENT_LIST

  /// The process-wide instance ("profile.driver.linux.oprofile", "/dev/oprofile").
  static std::shared_ptr<QVProfileDriverLinuxOprofile> defaultDriver();

  QVProfileDriverLinuxOprofile(const std::string& identifier, const std::string& filesystemRoot);

  void getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed, uint64_t& cpuBufferSize) const override;
  bool isAvailable() const override;
  bool load(const std::vector<std::string>& args) override;
  bool init() override;
  /// Stores the configuration and switches to the mode its trigger needs:
  /// false when the driver is stuck in the other one.
  bool setConfig(const std::shared_ptr<QVSessionConfig>& config) override;
  void getConfigErrors(QVErrorManager& errors, bool append) const override;
  void getEnvironmentErrors(QVErrorManager& errors, bool append) const override;
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  bool setTimerMode();
  bool setEventMode();
  bool stuckInEventMode() const { return stuckInEventMode_; }
  bool stuckInTimerMode() const { return stuckInTimerMode_; }
  const std::string& cpuType() const { return cpuType_; }
  const std::string& eventsDirectory() const { return eventsDirectory_; }

  /// Reads a description file and, depth first, the files it includes
  /// ("include:NAME": NAME/<the same file name> at the top of the events
  /// tree), at most a few levels deep. onLine gets every other line and
  /// the index of the file it came from. False when a file is missing.
  bool _walkDescriptionFiles(const std::string& path, const std::string& what,
                             const std::function<void(const std::string& line, size_t file)>& onLine) const;
  /// Parses an events file (and what it includes) after the events
  /// already parsed; false when the file cannot be found or opened.
  bool _parseEventsFile(const std::string& path, std::vector<OprofileEvent>& events) const;
  /// Parses a unit-mask file (and what it includes); a later mask of a
  /// name replaces an earlier one.
  bool _parseUnitMasksFile(const std::string& path, std::map<std::string, OprofileUnitMask>& masks) const;

 protected:
  bool _setMode(bool timer);
  bool _inTimerMode() const;
  /// Loads the processor's events from directory/cpuType; nothing for "timer".
  bool _loadEvents(const std::string& directory, const std::string& cpuType);

 private:
  bool stuckInEventMode_ = false;
  bool stuckInTimerMode_ = false;
  std::string cpuType_;
  std::string eventsDirectory_;
};

}  // namespace Quorvel
