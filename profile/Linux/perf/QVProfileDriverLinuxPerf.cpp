#include "Linux/perf/QVProfileDriverLinuxPerf.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "base/QVErrorManager.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVProcessManager.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

const bool disabledByEnvironment = std::getenv("QV_DISABLE_PERF_DRIVER") != nullptr;
const bool versionCheckDisabled = std::getenv("QV_DISABLE_PERF_VERSION_CHECK") != nullptr;

const char* const kDebugfsMountPoint = "/sys/kernel/debug";

const bool registered = QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_PERF, [] {
  return std::static_pointer_cast<QVProfileDriver>(QVProfileDriverLinuxPerf::defaultDriver());
});

bool kernelAtLeast(const char* version) { return CompareVersions(LocalMachineKernelVersion(), version) >= 0; }

}  // namespace

const std::vector<QVProfileDriverLinuxPerf::Alias>& QVProfileDriverLinuxPerf::aliases() {
  static const std::vector<Alias> table{
      {&EVENT_ID_CPU_CYCLES, {"cpu-cycles", "cycles"}},
      {&EVENT_ID_CPU_INSTRUCTIONS_COMPLETED, {"instructions"}},
      {&EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES, {"LLC-load-misses"}},
      {&EVENT_ID_CPU_BRANCH_INSTRUCTIONS, {"branch-instructions", "branches"}},
      {&EVENT_ID_CPU_BRANCH_MISPREDICTS, {"branch-misses"}},
  };
  return table;
}

std::shared_ptr<QVProfileDriverLinuxPerf> QVProfileDriverLinuxPerf::defaultDriver() {
  static const std::shared_ptr<QVProfileDriverLinuxPerf> instance =
      std::make_shared<QVProfileDriverLinuxPerf>(QV_PROFILE_DRIVER_ID_LINUX_PERF);
  return instance;
}

QVProfileDriverLinuxPerf::QVProfileDriverLinuxPerf(const std::string& identifier) : QVProfileDriver(identifier) {
  QVEffectiveUser root(0, 0);
  QVProcessManager& manager = QVProcessManager::defaultManager();
  perfBinaryPath_ = manager.findExe("perf");
  if (!perfBinaryPath_.empty()) {
    const int status = manager.run(perfBinaryPath_, {"--version"}, GetTempDirectory());
    if (status == -1 || ((status >> 8) & 0xff) != 0) {
      QV_DEBUG("'perf' command line tool found but not working: " << perfBinaryPath_);
      perfBinaryPath_.clear();
    } else {
      QV_DEBUG("'perf' command line tool found: " << perfBinaryPath_);
    }
  }
  filterSupported_ = kernelAtLeast("2.6.33");
  forceOverwriteFlagNeeded_ = !kernelAtLeast("2.6.36");
}

bool QVProfileDriverLinuxPerf::isAvailable() const {
  QVEffectiveUser root(0, 0);
  const std::string prefix = "[" + identifier_ + "] " + identifier_;
  if (disabledByEnvironment) {
    QV_DEBUG(prefix << " driver disabled by environment variable");
    return false;
  }
  if (!FileExists(perfBinaryPath_) || !FileCanExecute(perfBinaryPath_)) {
    QV_DEBUG(prefix << " driver disabled - perf executable not found");
    return false;
  }
  bool configured = false;
  for (const char* path : {"/proc/sys/kernel/perf_event_paranoid", "/proc/sys/kernel/perf_counter_paranoid",
                           "/sys/devices/system/cpu/perf_events"}) {
    if (FileExists(QVSystemPaths::path(path))) {
      configured = true;
      break;
    }
  }
  if (!configured) {
    QV_DEBUG(prefix << " driver disabled - kernel support not configured");
    return false;
  }
  if (!versionCheckDisabled && !kernelAtLeast("2.6.34")) {
    QV_DEBUG(prefix << " disabled - perf support is too buggy before Linux kernel 2.6.34 (on kernel "
                    << LocalMachineKernelVersion() << ")");
    return false;
  }
  return true;
}

bool QVProfileDriverLinuxPerf::load(const std::vector<std::string>&) {
  if (loaded_) return true;
  loaded_ = true;
  init();
  return true;
}

bool QVProfileDriverLinuxPerf::init() {
  if (!loaded_) return false;
  if (initialized_) return true;
  timeLimitSupported_ = true;
  sampleLimitSupported_ = false;
  adaptiveIntervalSupported_ = false;
  disablePowerManagementSupported_ = false;
  threadTimeSamplingSupported_ = cpuTimeSamplingSupported_ = cpuEventSamplingSupported_ = true;
  osTimeSamplingSupported_ = threadTimeCallstacksSupported_ = cpuTimeCallstacksSupported_ = true;
  cpuEventCallstacksSupported_ = true;
  osTimeCallstacksSupported_ = kernelAtLeast("2.6.38");
  schedTraceSupported_ = true;
  syscallTraceSupported_ = filterSupported_;
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (ticksPerSecond > 0) jiffy_ = 1.0 / static_cast<double>(ticksPerSecond);
  if (!_mountDebugfs()) return false;
  if (!FileExists(QVSystemPaths::path("/sys/kernel/debug/tracing/events/raw_syscalls"))) {
    syscallTraceSupported_ = false;
  }
  if (!_loadEvents()) return false;
  initialized_ = true;
  return true;
}

bool QVProfileDriverLinuxPerf::setup() { return isLoaded(); }
bool QVProfileDriverLinuxPerf::shutdown() { return isLoaded(); }

bool QVProfileDriverLinuxPerf::unload() {
  initialized_ = false;
  loaded_ = false;
  return true;
}

bool QVProfileDriverLinuxPerf::isLoaded() const { return loaded_; }

void QVProfileDriverLinuxPerf::getEnvironmentErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriver::getEnvironmentErrors(errors, append);
  if (processorFrequency_ != 0 && processorFrequency_ < 900000000) {
    errors.setWarningId(QVProfileDriverWarningLowCPUFrequency);
  }
  const uint64_t memory = QVMachineInfo::currentMachineInfo()->memorySize();
  if (memory != 0 && memory < 241591910) errors.setWarningId(QVProfileDriverWarningLowMemory);
  if (LocalMachineIsVM()) errors.setWarningId(QVProfileDriverWarningVirtualMachine);
  const int arch = static_cast<int>(LocalMachineArchitecture());
  if (arch == 17 || (arch >= 80 && arch <= 95)) errors.setWarningId(QVProfileDriverWarningNoFramePointer);
}

void QVProfileDriverLinuxPerf::getConfigErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriver::getConfigErrors(errors, append);
  if (config_ && config_->trigger == QVSessionConfig::TriggerTimer &&
      perfEventFor(EVENT_ID_CPU_CYCLES).identifier().empty()) {
    errors.setErrorId(QVProfileDriverErrorTriggerNotAvailable);
  }
}

QVPerfMonEventId QVProfileDriverLinuxPerf::triggerEvent() const {
  if (!config_ || !config_->eventConfig) return EVENT_ID_NULL;
  const QVPerfMonEventId& event = config_->eventConfig->triggerEvent;
  for (std::size_t i = 0; i < aliases().size(); ++i) {
    if (event == *aliases()[i].generic) return perfEvents_[i];
  }
  return event;
}

const QVPerfMonEventId& QVProfileDriverLinuxPerf::perfEventFor(const QVPerfMonEventId& generic) const {
  static const QVPerfMonEventId none;
  for (std::size_t i = 0; i < aliases().size(); ++i) {
    if (generic == *aliases()[i].generic) return perfEvents_[i];
  }
  return none;
}

bool QVProfileDriverLinuxPerf::isDebugfsMountedIn(const std::string& mountsText) {
  static const std::regex line(
      R"(^([^\s]+)[\s]+([^\s]+)[\s]+([^\s]+)[\s]+([^\s]+)[\s]*([\d]*)[\s]*([\d]*)$)");
  std::istringstream in(mountsText);
  std::string text;
  std::smatch match;
  while (std::getline(in, text)) {
    if (!text.empty() && text[0] == '#') continue;
    if (std::regex_match(text, match, line) && match[3] == "debugfs") return true;
  }
  return false;
}

bool QVProfileDriverLinuxPerf::_isDebugfsMounted() const {
  std::ifstream in(QVSystemPaths::path("/proc/mounts"));
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  return isDebugfsMountedIn(text.str());
}

bool QVProfileDriverLinuxPerf::_mountDebugfs() const {
  QVEffectiveUser root(0, 0);
  if (_isDebugfsMounted()) return true;
  const std::string mountPoint = QVSystemPaths::path(kDebugfsMountPoint);
  if (!FileExists(mountPoint)) {
    QV_DEBUG("unable to mount debugfs - mountpoint " << mountPoint << " does not exist");
    return false;
  }
  if (::mount(nullptr, mountPoint.c_str(), "debugfs", 0, nullptr) != 0) {
    QV_ERROR("failed to mount debugfs - " << std::strerror(errno));
    return false;
  }
  return _isDebugfsMounted();
}

std::vector<QVPerfMonEventId> QVProfileDriverLinuxPerf::parseEventList(const std::string& listing) {
  static const std::regex line(R"(^[\s]*([^\s]+)([^\[]*)\[([^\]]+) event\].*)");
  std::vector<QVPerfMonEventId> events;
  std::istringstream in(listing);
  std::string text;
  std::smatch match;
  while (std::getline(in, text)) {
    if (text.size() > 511) text.resize(511);
    if (!std::regex_match(text, match, line)) continue;
    const std::string kind = match[3];
    if (kind != "Hardware" && kind != "Hardware cache" && kind != "Software") continue;
    events.emplace_back(match[1], match[1], kind);
  }
  return events;
}

bool QVProfileDriverLinuxPerf::_loadEvents() {
  QVEffectiveUser root(0, 0);
  events_.clear();
  for (QVPerfMonEventId& event : perfEvents_) event = QVPerfMonEventId();
  if (perfBinaryPath_.empty()) return false;
  // Run directly rather than through a shell: the path never meets one.
  std::string listing;
  if (QVProcessManager::defaultManager().run(perfBinaryPath_, {"list"}, GetTempDirectory(), listing) == -1) {
    return false;
  }
  bool found[5] = {};
  for (const QVPerfMonEventId& event : parseEventList(listing)) {
    events_.insert(event);
    for (std::size_t i = 0; i < aliases().size(); ++i) {
      for (const std::string& name : aliases()[i].perfNames) {
        if (name == event.identifier()) {
          perfEvents_[i] = event;
          found[i] = true;
        }
      }
    }
  }
  for (std::size_t i = 0; i < aliases().size(); ++i) {
    if (found[i]) events_.insert(*aliases()[i].generic);
  }
  return true;
}

}  // namespace Quorvel
