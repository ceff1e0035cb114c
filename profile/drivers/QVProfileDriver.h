#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"
#include "config/QVPerfMonEventId.h"
#include "system/QVMachine.h"

namespace Quorvel {

class QVSessionConfig;

// The abstract profile driver: one object per kernel back-end that can
// collect samples. It carries the facts about the local machine that every
// back-end needs, the capability flags that tell a caller which triggers,
// call-stack modes and traces the back-end supports, the hardware events it
// offers and the buffer settings.
//
// The class also keeps the process-wide registry of the drivers available
// on this machine and the default among them. Back-ends take part by
// registering a provider of their process-wide instance (registerBackend)
// when the library loads; the registry asks the providers in the fixed
// order perf, qvprofile, oprofile.
//
// Archive keys, in order: "Identifier", "Name", "Jiffy", "VirtualMachine",
// "Arch", "Processor", "ProcessorCount", "ProcessorFrequency",
// "CycleCounterFrequency", "PmcCount", "PmcWidth", "EventIds" (one
// "EventId" per event), the fourteen capability flags under their own names
// ("TimeLimitSupported" ... "SyscallTraceSupported"), "BufferSize",
// "BufferWatershed", "CpuBufferSize". Unsigned numbers are "0x%llx" text and
// read back with base detection.
//
// The base answers false to every lifecycle operation, so a plain driver is
// the stand-in for "no back-end available".
class QVProfileDriver : public QVArchivable, public QVUnarchivable, public QVErrorMessageProvider {
 public:
  // Driver identifiers. Inline so that back-ends registering themselves
  // from static initialisers in other translation units see them built.
  inline static const std::string QV_PROFILE_DRIVER_ID_UNKNOWN{"profile.driver.unknown"};
  inline static const std::string QV_PROFILE_DRIVER_ID_LINUX_OPROFILE{"profile.driver.linux.oprofile"};
  inline static const std::string QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE{"profile.driver.linux.qvprofile"};
  inline static const std::string QV_PROFILE_DRIVER_ID_LINUX_PERF{"profile.driver.linux.perf"};
  inline static const std::string QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC{"profile.driver.freebsd.hwpmc"};
  inline static const std::string QV_PROFILE_DRIVER_ID_MACOSX_QVPROFILE{"profile.driver.macosx.qvprofile"};

  // True when "QV_DEBUG_QVPROFILE_DRIVER" was set when the library loaded.
  static bool debug_;

  using EventSet = std::unordered_set<QVPerfMonEventId>;
  // Hands out a back-end's process-wide driver instance (or null when the
  // back-end cannot exist in this process).
  using BackendProvider = std::function<std::shared_ptr<QVProfileDriver>()>;

  // Machine facts from the local machine, the capability flags of a driver
  // that can only sample thread time with call stacks under a time limit,
  // and the name that belongs to the identifier ("unknown" for identifiers
  // this library does not know).
  explicit QVProfileDriver(const std::string& identifier);
  ~QVProfileDriver() override;
  QVProfileDriver(const QVProfileDriver&) = delete;
  QVProfileDriver& operator=(const QVProfileDriver&) = delete;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  virtual const EventSet& events() const;
  // What a back-end proposes when the caller has no buffer settings; the
  // base proposes zeros.
  virtual void getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed,
                                      uint64_t& cpuBufferSize) const;
  virtual void setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed, uint64_t cpuBufferSize);
  virtual void getBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed, uint64_t& cpuBufferSize) const;
  virtual void setCollectCallstacks(bool collect);
  // Stores the configuration that later config checks and setup read.
  virtual bool setConfig(const std::shared_ptr<QVSessionConfig>& config);
  // Lifecycle; each answers whether it succeeded. The base has no back-end
  // and answers false throughout.
  virtual bool isAvailable() const;
  virtual bool load(const std::vector<std::string>& args);
  virtual bool init();
  virtual bool setup();
  virtual bool shutdown();
  virtual bool unload();
  virtual bool isLoaded() const;
  // Problems of the machine as a whole: no driver loaded, two conflicting
  // drivers loaded, no event list, power management that cannot be turned
  // off. Clears the manager first unless append is set. Back-ends call this
  // first and then add their own checks.
  virtual void getEnvironmentErrors(QVErrorManager& errors, bool append) const;
  // Problems of the stored configuration; the base finds none.
  virtual void getConfigErrors(QVErrorManager& errors, bool append) const;
  // Messages of this class's identifiers; false (nothing written) for any
  // other id, so that a caller can ask the next provider. An id that does
  // not even contain "Error" / "Warning" is logged as invalid.
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  // One line: the name and every machine fact and capability.
  virtual void getDescription(std::ostream& os) const;

  // Conversions through cycleCounterFrequency. Values of 2^63 cycles and
  // more convert as unsigned.
  uint64_t secondsToCycles(double seconds) const;
  double cyclesToSeconds(uint64_t cycles) const;

  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }
  double jiffy() const { return jiffy_; }
  bool virtualMachine() const { return virtualMachine_; }
  QVArchitecture arch() const { return arch_; }
  QVProcessor processor() const { return processor_; }
  uint64_t processorCount() const { return processorCount_; }
  uint64_t processorFrequency() const { return processorFrequency_; }
  uint64_t cycleCounterFrequency() const { return cycleCounterFrequency_; }
  uint64_t pmcCount() const { return pmcCount_; }
  uint64_t pmcWidth() const { return pmcWidth_; }
  bool timeLimitSupported() const { return timeLimitSupported_; }
  bool sampleLimitSupported() const { return sampleLimitSupported_; }
  bool adaptiveIntervalSupported() const { return adaptiveIntervalSupported_; }
  bool disablePowerManagementSupported() const { return disablePowerManagementSupported_; }
  bool threadTimeSamplingSupported() const { return threadTimeSamplingSupported_; }
  bool cpuTimeSamplingSupported() const { return cpuTimeSamplingSupported_; }
  bool cpuEventSamplingSupported() const { return cpuEventSamplingSupported_; }
  bool osTimeSamplingSupported() const { return osTimeSamplingSupported_; }
  bool threadTimeCallstacksSupported() const { return threadTimeCallstacksSupported_; }
  bool cpuTimeCallstacksSupported() const { return cpuTimeCallstacksSupported_; }
  bool cpuEventCallstacksSupported() const { return cpuEventCallstacksSupported_; }
  bool osTimeCallstacksSupported() const { return osTimeCallstacksSupported_; }
  bool schedTraceSupported() const { return schedTraceSupported_; }
  bool syscallTraceSupported() const { return syscallTraceSupported_; }
  bool collectCallstacks() const { return collectCallstacks_; }
  const std::shared_ptr<QVSessionConfig>& config() const { return config_; }

  // The name that belongs to a driver identifier ("perf", "qvprofile",
  // "oprofile", "hwpmc"), "unknown" for anything else.
  static std::string nameForIdentifier(const std::string& identifier);

  // The drivers available on this machine. Filled on the first call, which
  // also makes the automatic default choice; a machine without any
  // back-end gets one plain driver with the unknown identifier.
  static std::vector<std::shared_ptr<QVProfileDriver>> availableDrivers();
  // The default driver, filling the registry first when none is chosen.
  static std::shared_ptr<QVProfileDriver> defaultDriver();
  // defaultDriver()'s identifier, or empty when there is none.
  static std::string defaultDriverId();
  // Makes the registered driver with this identifier the default: every
  // loaded driver is unloaded and the chosen one loaded. An empty id or the
  // unknown id chooses automatically by kernel version (qvprofile before
  // perf on kernels older than 2.6.38, perf first otherwise, oprofile last).
  // Returns true when the driver is the default and loaded; false when no
  // driver has the id or its load failed (it then stays the default).
  // Choosing the current default again returns true and changes nothing.
  static bool setDefaultDriverId(const std::string& id);

  // Installs (or, with an empty provider, removes) the provider of one of
  // the three Linux back-ends. Returns false, ignoring the provider, for any
  // other identifier. Providers are asked only when the registry is filled,
  // and for the loaded state by getEnvironmentErrors. A back-end registers
  // from a static initialiser of its own source, for example
  //   const bool registered = QVProfileDriver::registerBackend(
  //       QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF, &QVProfileDriverLinuxPerf::defaultDriver);
  static bool registerBackend(const std::string& identifier, BackendProvider provider);
  // The provider installed for an identifier, empty when there is none.
  static BackendProvider backendProvider(const std::string& identifier);
  // Where the automatic choice reads the running kernel's release; an empty
  // function restores LocalMachineKernelVersion(). Lets tests stand in for
  // kernels of other ages.
  static void setKernelVersionSource(std::function<std::string()> source);
  // Forgets the available drivers and the default without unloading them,
  // so that the next call fills the registry from the providers again. The
  // registry is otherwise filled once per process; this exists for tests
  // that install providers of their own.
  static void resetRegistry();

 protected:
  // The process-wide instance a back-end's provider returns, or null.
  static std::shared_ptr<QVProfileDriver> _backendInstance(const std::string& identifier);

  std::string identifier_;
  std::string name_;
  double jiffy_;  // seconds per kernel timer tick; -1.0 when unknown
  bool virtualMachine_;
  QVArchitecture arch_;
  QVProcessor processor_;
  uint64_t processorCount_;
  uint64_t processorFrequency_;     // cycles per second
  uint64_t cycleCounterFrequency_;  // cycles per second
  uint64_t pmcCount_;
  uint64_t pmcWidth_;  // bits
  EventSet events_;
  bool timeLimitSupported_;
  bool sampleLimitSupported_;
  bool adaptiveIntervalSupported_;
  bool disablePowerManagementSupported_;
  bool threadTimeSamplingSupported_;
  bool cpuTimeSamplingSupported_;
  bool cpuEventSamplingSupported_;
  bool osTimeSamplingSupported_;
  bool threadTimeCallstacksSupported_;
  bool cpuTimeCallstacksSupported_;
  bool cpuEventCallstacksSupported_;
  bool osTimeCallstacksSupported_;
  bool schedTraceSupported_;
  bool syscallTraceSupported_;
  uint64_t bufferSize_;
  uint64_t bufferWatershed_;
  uint64_t cpuBufferSize_;
  bool collectCallstacks_;
  std::shared_ptr<QVSessionConfig> config_;

 private:
  static void _fillRegistry();
  static std::string _kernelVersion();

  static std::vector<std::shared_ptr<QVProfileDriver>> availDrivers_;
  static std::shared_ptr<QVProfileDriver> defaultDriver_;
};

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVProfileDriver& driver);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVProfileDriver>& driver);

// A driver read from a document starts as an unknown one; the document's
// "Identifier" and "Name" replace that.
template <>
struct QVUnarchiverFactory<QVProfileDriver> {
  static std::shared_ptr<QVProfileDriver> create() {
    return std::make_shared<QVProfileDriver>(QVProfileDriver::QV_PROFILE_DRIVER_ID_UNKNOWN);
  }
};

}  // namespace Quorvel
