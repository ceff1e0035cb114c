#include "drivers/QVProfileDriver.h"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <ostream>
#include <utility>

#include "archive/QVArchiver.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

bool QVProfileDriver::debug_ = std::getenv("QV_DEBUG_QVPROFILE_DRIVER") != nullptr;

std::vector<std::shared_ptr<QVProfileDriver>> QVProfileDriver::availDrivers_;
std::shared_ptr<QVProfileDriver> QVProfileDriver::defaultDriver_;

namespace {

// The registry is meant to be used from the thread that configures a
// recording, but back-ends register from static initialisers and callers
// may ask for the default from anywhere; one recursive lock keeps that safe.
// It is recursive because choosing a default calls itself and back-ends may
// ask the registry from inside load() or unload().
std::recursive_mutex& RegistryMutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

// Function-local so that back-ends registering from static initialisers of
// other translation units never find it unconstructed.
std::map<std::string, QVProfileDriver::BackendProvider>& Providers() {
  static std::map<std::string, QVProfileDriver::BackendProvider> providers;
  return providers;
}

std::function<std::string()>& KernelVersionSource() {
  static std::function<std::string()> source;
  return source;
}

// The order in which the registry asks the back-ends.
const std::string* const kBackendOrder[] = {
    &QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF,
    &QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE,
    &QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE,
};

bool IsBackendId(const std::string& identifier) {
  return std::any_of(std::begin(kBackendOrder), std::end(kBackendOrder),
                     [&identifier](const std::string* known) { return *known == identifier; });
}

// The kernel release at which perf events became complete enough to be
// preferred over the library's own module.
const char kPerfPreferredKernel[] = "2.6.38";

void WriteLines(std::ostream& os, std::initializer_list<std::string> lines) {
  bool first = true;
  for (const std::string& line : lines) {
    if (!first) {
      os << std::endl;
    }
    os << line;
    first = false;
  }
}

std::string InstallScriptPath() {
  std::string directory = GetInstallDirectory();
  // The installer lives under the installation's own directory; join with a
  // separator only when the directory does not already end in one.
  if (!directory.empty() && directory.back() != '/') {
    directory += '/';
  }
  return directory + "setup/install_driver.sh";
}

void WriteInstallHint(std::ostream& os) {
  os << std::endl;
  WriteLines(os, {"       To install a profiling driver, open a terminal and type:", "       > su root",
                  "       > " + InstallScriptPath()});
}

const char* const kTimerIntervalAdvice[] = {
    "         increased. You may also want to disable the gathering of kernel",
    "         symbols with the --disable_kernel_symbols option in order to reduce",
    "         sample processing time.",
};

void WriteTimerIntervalAdvice(std::ostream& os) {
  for (const char* line : kTimerIntervalAdvice) {
    os << std::endl << line;
  }
}

}  // namespace

QVProfileDriver::QVProfileDriver(const std::string& identifier)
    : identifier_(identifier),
      name_(nameForIdentifier(identifier)),
      jiffy_(-1.0),
      virtualMachine_(LocalMachineIsVM()),
      arch_(LocalMachineArchitecture()),
      processor_(LocalMachineProcessorType()),
      processorCount_(LocalMachineProcessorCount()),
      processorFrequency_(LocalMachineProcessorFrequency()),
      cycleCounterFrequency_(LocalMachineProcessorFrequency()),
      pmcCount_(0),
      pmcWidth_(32),
      events_(11),
      timeLimitSupported_(true),
      sampleLimitSupported_(false),
      adaptiveIntervalSupported_(false),
      disablePowerManagementSupported_(false),
      threadTimeSamplingSupported_(true),
      cpuTimeSamplingSupported_(false),
      cpuEventSamplingSupported_(false),
      osTimeSamplingSupported_(false),
      threadTimeCallstacksSupported_(true),
      cpuTimeCallstacksSupported_(false),
      cpuEventCallstacksSupported_(false),
      osTimeCallstacksSupported_(false),
      schedTraceSupported_(false),
      syscallTraceSupported_(false),
      bufferSize_(0),
      bufferWatershed_(0),
      cpuBufferSize_(0),
      collectCallstacks_(false) {}

QVProfileDriver::~QVProfileDriver() = default;

std::string QVProfileDriver::nameForIdentifier(const std::string& identifier) {
  if (identifier == QV_PROFILE_DRIVER_ID_LINUX_OPROFILE) {
    return "oprofile";
  }
  if (identifier == QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE || identifier == QV_PROFILE_DRIVER_ID_MACOSX_QVPROFILE) {
    return "qvprofile";
  }
  if (identifier == QV_PROFILE_DRIVER_ID_LINUX_PERF) {
    return "perf";
  }
  if (identifier == QV_PROFILE_DRIVER_ID_FREEBSD_HWPMC) {
    return "hwpmc";
  }
  return "unknown";
}

void QVProfileDriver::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(identifier_, "Identifier");
  archiver->encodeString(name_, "Name");
  archiver->encodeDouble(jiffy_, "Jiffy");
  archiver->encodeBool(virtualMachine_, "VirtualMachine");
  archiver->encodeString(ArchitectureToString(arch_), "Arch");
  archiver->encodeString(ProcessorToString(processor_), "Processor");
  archiver->encodeUnsigned(processorCount_, "ProcessorCount");
  archiver->encodeUnsigned(processorFrequency_, "ProcessorFrequency");
  archiver->encodeUnsigned(cycleCounterFrequency_, "CycleCounterFrequency");
  archiver->encodeUnsigned(pmcCount_, "PmcCount");
  archiver->encodeUnsigned(pmcWidth_, "PmcWidth");
  // Sorted so that the same driver always writes the same document.
  std::vector<QVPerfMonEventId> sorted(events_.begin(), events_.end());
  std::sort(sorted.begin(), sorted.end());
  archiver->beginList("EventIds");
  for (const QVPerfMonEventId& event : sorted) {
    archiver->encodeObject(event, "EventId");
  }
  archiver->endList("EventIds");
  archiver->encodeBool(timeLimitSupported_, "TimeLimitSupported");
  archiver->encodeBool(sampleLimitSupported_, "SampleLimitSupported");
  archiver->encodeBool(adaptiveIntervalSupported_, "AdaptiveIntervalSupported");
  archiver->encodeBool(disablePowerManagementSupported_, "DisablePowerManagementSupported");
  archiver->encodeBool(threadTimeSamplingSupported_, "ThreadTimeSamplingSupported");
  archiver->encodeBool(cpuTimeSamplingSupported_, "CpuTimeSamplingSupported");
  archiver->encodeBool(cpuEventSamplingSupported_, "CpuEventSamplingSupported");
  archiver->encodeBool(osTimeSamplingSupported_, "OsTimeSamplingSupported");
  archiver->encodeBool(threadTimeCallstacksSupported_, "ThreadTimeCallstacksSupported");
  archiver->encodeBool(cpuTimeCallstacksSupported_, "CpuTimeCallstacksSupported");
  archiver->encodeBool(cpuEventCallstacksSupported_, "CpuEventCallstacksSupported");
  archiver->encodeBool(osTimeCallstacksSupported_, "OsTimeCallstacksSupported");
  archiver->encodeBool(schedTraceSupported_, "SchedTraceSupported");
  archiver->encodeBool(syscallTraceSupported_, "SyscallTraceSupported");
  archiver->encodeUnsigned(bufferSize_, "BufferSize");
  archiver->encodeUnsigned(bufferWatershed_, "BufferWatershed");
  archiver->encodeUnsigned(cpuBufferSize_, "CpuBufferSize");
}

void QVProfileDriver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeString("Identifier", identifier_);
  unarchiver->decodeString("Name", name_);
  jiffy_ = unarchiver->decodeDouble("Jiffy");
  unarchiver->decodeBool("VirtualMachine", virtualMachine_);
  std::string text;
  unarchiver->decodeString("Arch", text);
  arch_ = ArchitectureFromString(text);
  unarchiver->decodeString("Processor", text);
  processor_ = ProcessorFromString(text);
  processorCount_ = unarchiver->decodeUnsigned("ProcessorCount");
  processorFrequency_ = unarchiver->decodeUnsigned("ProcessorFrequency");
  cycleCounterFrequency_ = unarchiver->decodeUnsigned("CycleCounterFrequency");
  pmcCount_ = unarchiver->decodeUnsigned("PmcCount");
  pmcWidth_ = unarchiver->decodeUnsigned("PmcWidth");
  // The document is the whole truth about the events of the driver it
  // describes, not an addition to this machine's.
  events_.clear();
  unarchiver->enterElement("EventIds");
  std::string key;
  while (unarchiver->nextKey(key)) {
    QVPerfMonEventId event;
    unarchiver->decodeObject("EventId", event);
    events_.insert(event);
  }
  unarchiver->leaveElement("EventIds");
  unarchiver->decodeBool("TimeLimitSupported", timeLimitSupported_);
  unarchiver->decodeBool("SampleLimitSupported", sampleLimitSupported_);
  unarchiver->decodeBool("AdaptiveIntervalSupported", adaptiveIntervalSupported_);
  unarchiver->decodeBool("DisablePowerManagementSupported", disablePowerManagementSupported_);
  unarchiver->decodeBool("ThreadTimeSamplingSupported", threadTimeSamplingSupported_);
  unarchiver->decodeBool("CpuTimeSamplingSupported", cpuTimeSamplingSupported_);
  unarchiver->decodeBool("CpuEventSamplingSupported", cpuEventSamplingSupported_);
  unarchiver->decodeBool("OsTimeSamplingSupported", osTimeSamplingSupported_);
  unarchiver->decodeBool("ThreadTimeCallstacksSupported", threadTimeCallstacksSupported_);
  unarchiver->decodeBool("CpuTimeCallstacksSupported", cpuTimeCallstacksSupported_);
  unarchiver->decodeBool("CpuEventCallstacksSupported", cpuEventCallstacksSupported_);
  unarchiver->decodeBool("OsTimeCallstacksSupported", osTimeCallstacksSupported_);
  unarchiver->decodeBool("SchedTraceSupported", schedTraceSupported_);
  unarchiver->decodeBool("SyscallTraceSupported", syscallTraceSupported_);
  bufferSize_ = unarchiver->decodeUnsigned("BufferSize");
  bufferWatershed_ = unarchiver->decodeUnsigned("BufferWatershed");
  cpuBufferSize_ = unarchiver->decodeUnsigned("CpuBufferSize");
}

const QVProfileDriver::EventSet& QVProfileDriver::events() const { return events_; }

void QVProfileDriver::getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed,
                                             uint64_t& cpuBufferSize) const {
  bufferSize = 0;
  bufferWatershed = 0;
  cpuBufferSize = 0;
}

void QVProfileDriver::setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed, uint64_t cpuBufferSize) {
  bufferSize_ = bufferSize;
  bufferWatershed_ = bufferWatershed;
  cpuBufferSize_ = cpuBufferSize;
}

void QVProfileDriver::getBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed,
                                      uint64_t& cpuBufferSize) const {
  bufferSize = bufferSize_;
  bufferWatershed = bufferWatershed_;
  cpuBufferSize = cpuBufferSize_;
}

void QVProfileDriver::setCollectCallstacks(bool collect) { collectCallstacks_ = collect; }

bool QVProfileDriver::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  config_ = config;
  return true;
}

bool QVProfileDriver::isAvailable() const { return false; }
bool QVProfileDriver::load(const std::vector<std::string>& /*args*/) { return false; }
bool QVProfileDriver::init() { return false; }
bool QVProfileDriver::setup() { return false; }
bool QVProfileDriver::shutdown() { return false; }
bool QVProfileDriver::unload() { return false; }
bool QVProfileDriver::isLoaded() const { return false; }

void QVProfileDriver::getEnvironmentErrors(QVErrorManager& errors, bool append) const {
  if (!append) {
    errors.clear();
  }
  // Whatever driver is asked, the question is about the machine: which of
  // the back-ends currently has its kernel side loaded.
  const auto loaded = [](const std::string& identifier) {
    const std::shared_ptr<QVProfileDriver> instance = _backendInstance(identifier);
    return instance && instance->isLoaded();
  };
  const bool perfLoaded = loaded(QV_PROFILE_DRIVER_ID_LINUX_PERF);
  const bool qvprofileLoaded = loaded(QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE);
  const bool oprofileLoaded = loaded(QV_PROFILE_DRIVER_ID_LINUX_OPROFILE);
  // oprofile and qvprofile both claim the processor's counters.
  if (oprofileLoaded && qvprofileLoaded) {
    errors.setErrorId(QVProfileDriverErrorDriverConflict);
  } else if (!perfLoaded && !qvprofileLoaded && !oprofileLoaded) {
    errors.setErrorId(QVProfileDriverErrorNoDriver);
  }
  // Timer-only processors have no events to list, and the stand-in driver
  // has no back-end that could have found one.
  if (events_.empty() && processor_ != QVProcessorTimer && identifier_ != QV_PROFILE_DRIVER_ID_UNKNOWN) {
    errors.setWarningId(QVProfileDriverWarningNoEventList);
  }
  // A virtual machine has no real power management for the driver to fight.
  if (!disablePowerManagementSupported_ && !virtualMachine_) {
    errors.setWarningId(QVProfileDriverWarningUnableToDisablePowerManagement);
  }
}

void QVProfileDriver::getConfigErrors(QVErrorManager& errors, bool append) const {
  if (!append) {
    errors.clear();
  }
}

bool QVProfileDriver::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id.find("Error") == std::string::npos) {
    QV_ERROR("invalid error id: " << id);
  }
  if (id == QVProfileDriverErrorUnknown) {
    os << "Unknown profile driver error.";
  } else if (id == QVProfileDriverErrorNoDriver) {
    os << "There is no profiling driver installed.";
    WriteInstallHint(os);
  } else if (id == QVProfileDriverErrorDriverConflict) {
    os << "More than one profiling driver is loaded.";
    WriteInstallHint(os);
  } else if (id == QVProfileDriverErrorIncompatibleConfig) {
    os << "The selected configuration is incompatible with this hardware.";
  } else if (id == QVProfileDriverErrorTriggerNotAvailable) {
    os << "The selected trigger is not available.";
  } else {
    return false;
  }
  return true;
}

bool QVProfileDriver::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id.find("Warning") == std::string::npos) {
    QV_ERROR("invalid warning id: " << id);
  }
  if (id == QVProfileDriverWarningUnknown) {
    os << "Unknown profile driver warning.";
  } else if (id == QVProfileDriverWarningLowCPUFrequency) {
    os << "Low processor frequency detected - the default timer interval has been";
    WriteTimerIntervalAdvice(os);
  } else if (id == QVProfileDriverWarningLowMemory) {
    os << "Limited system memory detected - the default timer interval has been";
    WriteTimerIntervalAdvice(os);
  } else if (id == QVProfileDriverWarningNoEventList) {
    os << "The " << name_ << " driver was unable to find an event list for " << ProcessorToPrettyString(processor_)
       << ".";
  } else if (id == QVProfileDriverWarningVirtualMachine) {
    WriteLines(os, {"Virtual machine detected - CPU timer and CPU event sampling triggers",
                    "         are not available."});
  } else if (id == QVProfileDriverWarningNoFramePointer) {
    WriteLines(os, {"System-wide time and event profiles of " + ArchitectureToPrettyString(LocalMachineArchitecture()) +
                        " binaries may contain",
                    "         incomplete callstacks because frame pointers are not enabled by",
                    "         default. Frame pointers can be enabled with a compiler flag. For GCC,",
                    "         this flag is -fno-omit-frame-pointer. Including the frame pointer",
                    "         should not significantly impact the performance of most code. Thread",
                    "         time profiling is not affected by this limitation and should be used",
                    "         when gathering complete callstacks is important."});
  } else if (id == QVProfileDriverWarningUnableToDisablePowerManagement) {
    WriteLines(os, {"Power management can not be fully disabled with the " + name_ + " driver.",
                    "         Power management may change the rate at which CPU performance events",
                    "         occur. Profiling configurations that use a CPU timer trigger or CPU",
                    "         event trigger may be affected. The OS timer trigger is not affected by",
                    "         power management and should be used if a constant sampling frequency",
                    "         is needed."});
  } else {
    return false;
  }
  return true;
}

void QVProfileDriver::getDescription(std::ostream& os) const {
  os << name_ << " - " << " jiffy:" << jiffy_ << " vm:" << virtualMachine_
     << " arch:" << ArchitectureToPrettyString(arch_) << " cpu:" << ProcessorToPrettyString(processor_)
     << " cpuFreq:" << processorFrequency_ << " cpuCount:" << processorCount_ << " pmcCount:" << pmcCount_
     << " pmcWidth:" << pmcWidth_ << " timeLimit:" << timeLimitSupported_ << " sampleLimit:" << sampleLimitSupported_
     << " adaptiveInterval:" << adaptiveIntervalSupported_
     << " disablePowerManagement:" << disablePowerManagementSupported_
     << " threadTimeSampling:" << threadTimeSamplingSupported_ << " cpuTimeSampling:" << cpuTimeSamplingSupported_
     << " cpuEventSampling:" << cpuEventSamplingSupported_ << " osTimeSampling:" << osTimeSamplingSupported_
     << " threadTimeCallstacks:" << threadTimeCallstacksSupported_
     << " cpuTimeCallstacks:" << cpuTimeCallstacksSupported_
     << " cpuEventCallstacks:" << cpuEventCallstacksSupported_ << " osTimeCallstacks:" << osTimeCallstacksSupported_
     << " schedTrace:" << schedTraceSupported_ << " syscallTrace:" << syscallTraceSupported_
     << " bufferSize:" << bufferSize_ << " bufferWatershed:" << bufferWatershed_;
}

uint64_t QVProfileDriver::secondsToCycles(double seconds) const {
  const double cycles = seconds * static_cast<double>(cycleCounterFrequency_);
  // Converting straight to the unsigned type keeps counts of 2^63 and more
  // (a detour through a signed type would not); only values the type cannot
  // hold at all are clamped, since converting those is undefined.
  constexpr double kTwo64 = 18446744073709551616.0;
  if (!(cycles > 0.0)) {
    return 0;
  }
  if (cycles >= kTwo64) {
    return UINT64_MAX;
  }
  return static_cast<uint64_t>(cycles);
}

double QVProfileDriver::cyclesToSeconds(uint64_t cycles) const {
  return static_cast<double>(cycles) / static_cast<double>(cycleCounterFrequency_);
}

std::string QVProfileDriver::_kernelVersion() {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const std::function<std::string()>& source = KernelVersionSource();
  return source ? source() : LocalMachineKernelVersion();
}

void QVProfileDriver::setKernelVersionSource(std::function<std::string()> source) {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  KernelVersionSource() = std::move(source);
}

bool QVProfileDriver::registerBackend(const std::string& identifier, BackendProvider provider) {
  if (!IsBackendId(identifier)) {
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  if (provider) {
    Providers()[identifier] = std::move(provider);
  } else {
    Providers().erase(identifier);
  }
  return true;
}

QVProfileDriver::BackendProvider QVProfileDriver::backendProvider(const std::string& identifier) {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  const auto found = Providers().find(identifier);
  return found == Providers().end() ? BackendProvider() : found->second;
}

std::shared_ptr<QVProfileDriver> QVProfileDriver::_backendInstance(const std::string& identifier) {
  const BackendProvider provider = backendProvider(identifier);
  return provider ? provider() : nullptr;
}

void QVProfileDriver::resetRegistry() {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  availDrivers_.clear();
  defaultDriver_.reset();
}

void QVProfileDriver::_fillRegistry() {
  for (const std::string* identifier : kBackendOrder) {
    std::shared_ptr<QVProfileDriver> instance = _backendInstance(*identifier);
    if (instance && instance->isAvailable()) {
      availDrivers_.push_back(std::move(instance));
    }
  }
  // A caller always finds a driver to ask for environment errors; this one
  // answers that there is no profiling driver.
  if (availDrivers_.empty()) {
    availDrivers_.push_back(std::make_shared<QVProfileDriver>(QV_PROFILE_DRIVER_ID_UNKNOWN));
  }
}

std::vector<std::shared_ptr<QVProfileDriver>> QVProfileDriver::availableDrivers() {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  if (availDrivers_.empty()) {
    _fillRegistry();
    setDefaultDriverId(QV_PROFILE_DRIVER_ID_UNKNOWN);
    QV_DEBUG("default profile driver type: " << (defaultDriver_ ? defaultDriver_->name() : std::string()));
  }
  return availDrivers_;
}

std::shared_ptr<QVProfileDriver> QVProfileDriver::defaultDriver() {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  if (!defaultDriver_) {
    availableDrivers();
  }
  return defaultDriver_;
}

std::string QVProfileDriver::defaultDriverId() {
  const std::shared_ptr<QVProfileDriver> driver = defaultDriver();
  return driver ? driver->identifier() : std::string();
}

bool QVProfileDriver::setDefaultDriverId(const std::string& requested) {
  std::lock_guard<std::recursive_mutex> lock(RegistryMutex());
  if (defaultDriver_ && defaultDriver_->identifier() == requested) {
    return true;
  }
  if (availDrivers_.empty()) {
    availableDrivers();
  }
  std::string id = requested;
  if (id.empty() || id == QV_PROFILE_DRIVER_ID_UNKNOWN) {
    defaultDriver_.reset();
    // Kernels before 2.6.38 lack the perf events the perf back-end relies
    // on, so the library's own module goes first there.
    const bool oldKernel = CompareVersions(_kernelVersion(), kPerfPreferredKernel) < 0;
    const std::string& first = oldKernel ? QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE : QV_PROFILE_DRIVER_ID_LINUX_PERF;
    const std::string& second = oldKernel ? QV_PROFILE_DRIVER_ID_LINUX_PERF : QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE;
    // A candidate that is registered but fails to load stays the default:
    // the caller then sees that driver's own environment errors, which
    // explain the failure better than a fallback would.
    if (setDefaultDriverId(first)) {
      return true;
    }
    if (!defaultDriver_ && setDefaultDriverId(second)) {
      return true;
    }
    if (!defaultDriver_ && setDefaultDriverId(QV_PROFILE_DRIVER_ID_LINUX_OPROFILE)) {
      return true;
    }
    id = QV_PROFILE_DRIVER_ID_UNKNOWN;
  }

  // At most one back-end may hold the processor's counters at a time.
  for (const std::shared_ptr<QVProfileDriver>& driver : availDrivers_) {
    if (driver->isLoaded()) {
      driver->unload();
    }
  }

  const auto found = std::find_if(availDrivers_.begin(), availDrivers_.end(),
                                  [&id](const std::shared_ptr<QVProfileDriver>& driver) {
                                    return driver->identifier() == id;
                                  });
  if (found == availDrivers_.end()) {
    QV_DEBUG("failed to set profile driver to '" << id << "'");
    return false;
  }
  defaultDriver_ = *found;
  if (!defaultDriver_->isLoaded() && !defaultDriver_->load(std::vector<std::string>())) {
    QV_DEBUG("failed to set profile driver to '" << id << "'");
    return false;
  }
  QV_DEBUG("set profile driver to '" << id << "'");
  return true;
}

std::ostream& operator<<(std::ostream& os, const QVProfileDriver& driver) {
  driver.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVProfileDriver>& driver) {
  if (driver) {
    driver->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
