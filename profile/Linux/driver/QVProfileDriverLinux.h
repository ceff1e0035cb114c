#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drivers/QVProfileDriver.h"

namespace Quorvel {

class QVDriverFilesystem;
class QVDriverPerfMonCounter;
class QVPerfMonEventLinux;
class QVPerfMonEventListLinux;

/// The base of the kernel-module back-ends. The module publishes a driver
/// filesystem (one file per setting, one directory per hardware counter, a
/// "buffer" device); this class loads the module through its init script,
/// reads the processor, timer tick and counter count from it, programs the
/// counters for a recording and checks configurations against the hardware.
///
/// Paths of the driver root and of the init script go through
/// QVSystemPaths, so a fixture root stands in for /dev and /etc in tests.
/// The init script is looked for under the library's etc directory first
/// and then in the system's /etc/init.d, where the driver installer puts it.
class QVProfileDriverLinux : public QVProfileDriver {
 public:
  QVProfileDriverLinux(const std::string& identifier, const std::string& filesystemRoot);
  ~QVProfileDriverLinux() override;

  void setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed, uint64_t cpuBufferSize) override;
  void setCollectCallstacks(bool collect) override;
  /// "modprobe -n -q NAME" succeeds and the init script exists.
  bool isAvailable() const override;
  /// Runs the init script with "start" unless the module is loaded.
  bool load(const std::vector<std::string>& args) override;
  /// Reads the module's facts once per load and writes the default buffers.
  bool init() override;
  /// Programs idle polling, modes and counters for the configuration.
  bool setup() override;
  bool shutdown() override;
  bool unload() override;
  /// The module's "cpu_type" exists.
  bool isLoaded() const override;
  void getEnvironmentErrors(QVErrorManager& errors, bool append) const override;
  void getConfigErrors(QVErrorManager& errors, bool append) const override;
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  const std::shared_ptr<QVDriverFilesystem>& filesystem() const { return filesystem_; }
  const std::vector<std::shared_ptr<QVDriverPerfMonCounter>>& counters() const { return counters_; }
  const std::shared_ptr<QVPerfMonEventListLinux>& eventList() const { return eventList_; }
  uint64_t bufferUnit() const { return bufferUnit_; }
  uint64_t cpuBufferUnit() const { return cpuBufferUnit_; }
  bool initialized() const { return initialized_; }
  /// Where the init script is (or would be installed).
  std::string initScriptPath() const;

  /// The modprobe that availability asks ("/sbin/modprobe"); tests point
  /// it at a stand-in. An empty path restores the default.
  static void setModprobePath(const std::string& path);
  /// The processor a "cpu_type" text names; QVProcessorUnknown when the
  /// detection table lacks it.
  static QVProcessor processorForCpuType(const std::string& cpuType);

 protected:
  bool _layoutEvent(const std::shared_ptr<QVPerfMonEventLinux>& event, uint64_t count);
  void _configureCounters();
  void _resetCounters();
  std::shared_ptr<QVPerfMonEventLinux> _triggerEvent() const;
  bool _isOprofile() const;
  /// The script's wait status; -1 when it could not be run.
  int _runInitScript(const std::vector<std::string>& args) const;
  /// Writes and reads back "backtrace_depth".
  void _writeBacktraceDepth(bool collect);

  std::shared_ptr<QVDriverFilesystem> filesystem_;
  uint64_t bufferUnit_ = 0;
  uint64_t cpuBufferUnit_ = 0;
  std::shared_ptr<QVPerfMonEventListLinux> eventList_;
  std::shared_ptr<QVPerfMonEventLinux> cyclesEvent_;
  std::shared_ptr<QVPerfMonEventLinux> instructionsEvent_;
  std::shared_ptr<QVPerfMonEventLinux> lastLevelCacheMissesEvent_;
  std::shared_ptr<QVPerfMonEventLinux> branchInstructionsEvent_;
  std::shared_ptr<QVPerfMonEventLinux> branchMispredictsEvent_;
  std::vector<std::shared_ptr<QVDriverPerfMonCounter>> counters_;
  bool initialized_ = false;
};

}  // namespace Quorvel
