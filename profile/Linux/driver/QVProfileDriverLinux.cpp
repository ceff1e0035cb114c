#include "Linux/driver/QVProfileDriverLinux.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>
#include <unordered_map>

#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverModule.h"
#include "Linux/driver/QVDriverPerfMonCounter.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "base/QVLog.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "notify/QVNotificationIds.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVProcessManager.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

namespace {

constexpr unsigned long kCallStackDepth = 512;

}  // namespace

QVProfileDriverLinux::QVProfileDriverLinux(const std::string& identifier, const std::string& filesystemRoot)
    : QVProfileDriver(identifier),
      filesystem_(std::make_shared<QVDriverFilesystem>(QVSystemPaths::path(filesystemRoot))) {}

QVProfileDriverLinux::~QVProfileDriverLinux() = default;

void QVProfileDriverLinux::setModprobePath(const std::string& path) { QVDriverModule::setModprobePath(path); }

QVProcessor QVProfileDriverLinux::processorForCpuType(const std::string& cpuType) {
  if (cpuType == "timer") return QVProcessorTimer;
  static const std::unordered_map<std::string, QVProcessor> table = {
      {"i386/arch_perfmon", QVProcessorArchPerfMon},
      {"i386/athlon", QVProcessorAthlon},
      {"i386/atom", QVProcessorAtom},
      {"i386/core", QVProcessorCore},
      {"i386/core_2", QVProcessorCore2},
      {"i386/core_i7", QVProcessorCoreI7},
      {"i386/nehalem", QVProcessorCoreI7},
      {"i386/p4", QVProcessorP4},
      {"i386/p4-ht", QVProcessorP4HT},
      {"i386/p6_mobile", QVProcessorP6Mobile},
      {"i386/pii", QVProcessorPII},
      {"i386/piii", QVProcessorPIII},
      {"i386/ppro", QVProcessorPPro},
      {"i386/westmere", QVProcessorWestmere},
      {"x86-64/hammer", QVProcessorHammer},
      {"x86-64/athlon64", QVProcessorHammer},
      {"x86-64/family10", QVProcessorFamily10},
      {"x86-64/family11h", QVProcessorFamily11h},
      {"x86-64/family12h", QVProcessorFamily12h},
      {"x86-64/family14h", QVProcessorFamily14h},
      {"x86-64/family15h", QVProcessorFamily15h},
      {"x86-64/family16h", QVProcessorFamily16h},
      {"ppc/7450", QVProcessorPPC7450},
      {"ppc/e300", QVProcessorPPCE300},
      {"ppc/e500", QVProcessorPPCE500},
      {"ppc/e500v2", QVProcessorPPCE500v2},
      {"ppc64/970", QVProcessorPPC970},
      {"ppc64/970MP", QVProcessorPPC970MP},
      {"ppc64/cell-be", QVProcessorCellBE},
      {"ppc64/ibm-compat-v1", QVProcessorIBMCompatV1},
      {"ppc64/pa6t", QVProcessorPA6T},
      {"ppc64/power4", QVProcessorPower4},
      {"ppc64/power5", QVProcessorPower5},
      {"ppc64/power5+", QVProcessorPower5p},
      {"ppc64/power5++", QVProcessorPower5pp},
      {"ppc64/power6", QVProcessorPower6},
      {"ppc64/power7", QVProcessorPower7},
      {"arm/armv5", QVProcessorARMv5},
      {"arm/armv6", QVProcessorARMv6},
      {"arm/armv7", QVProcessorARMv7},
      {"arm/armv7-ca9", QVProcessorARMv7},
      {"arm/armv7-common", QVProcessorARMv7},
      {"arm/mrvl_pj4", QVProcessorMrvlPJ4},
      {"arm/mpcore", QVProcessorMPCore},
      {"arm/xscale1", QVProcessorXScale1},
      {"arm/xscale2", QVProcessorXScale2},
  };
  // Models may themselves hold "/": the family ends at the last one.
  const size_t slash = cpuType.rfind('/');
  if (slash == std::string::npos) return QVProcessorUnknown;
  auto found = table.find(cpuType.substr(0, slash) + "/" + cpuType.substr(slash + 1));
  return found == table.end() ? QVProcessorUnknown : found->second;
}

bool QVProfileDriverLinux::_isOprofile() const { return identifier_ == QV_PROFILE_DRIVER_ID_LINUX_OPROFILE; }

std::string QVProfileDriverLinux::initScriptPath() const { return QVDriverModule::initScriptPath(name_); }

int QVProfileDriverLinux::_runInitScript(const std::vector<std::string>& args) const {
  return QVDriverModule::runInitScript(name_, args);
}

bool QVProfileDriverLinux::isLoaded() const { return filesystem_->exists("cpu_type"); }

bool QVProfileDriverLinux::isAvailable() const {
  QVEffectiveUser root(0, 0);
  if (!QVDriverModule::modprobeFinds(name_) && !_isOprofile()) {
    QV_DEBUG("[" << name_ << "] " << name_ << " module not found");
    return false;
  }
  if (!FileExists(initScriptPath())) {
    QV_DEBUG("[" << name_ << "] " << name_ << " script not found");
    return false;
  }
  QV_DEBUG("[" << name_ << "] " << name_ << " module is available");
  return true;
}

bool QVProfileDriverLinux::load(const std::vector<std::string>& args) {
  QVEffectiveUser root(0, 0);
  if (isLoaded()) return true;
  const std::string script = initScriptPath();
  if (!FileExists(script)) return false;
  std::vector<std::string> startArgs = {"start"};
  startArgs.insert(startArgs.end(), args.begin(), args.end());
  const int status = _runInitScript(startArgs);
  if (QVDriverModule::exitedWithZero(status)) {
    QV_DEBUG("[" << name_ << "] loaded " << script);
    return true;
  }
  QV_DEBUG("[" << name_ << "] failed to load " << script << " (" << QVDriverModule::exitStatusOf(status) << ")");
  // A half-started module (a mount without a daemon) must not linger.
  _runInitScript({"stop"});
  return false;
}

bool QVProfileDriverLinux::unload() {
  QVEffectiveUser root(0, 0);
  if (!isLoaded()) {
    initialized_ = false;
    return true;
  }
  const std::string script = initScriptPath();
  const int status = _runInitScript({"stop"});
  if (QVDriverModule::exitedWithZero(status)) {
    QV_DEBUG("[" << name_ << "] unloaded " << script);
    // The next load may bring a module with other facts.
    initialized_ = false;
    return true;
  }
  if (!_isOprofile()) {
    QV_WARNING("[" << name_ << "] failed to unload " << script << " (" << QVDriverModule::exitStatusOf(status) << ")");
  }
  return false;
}

bool QVProfileDriverLinux::init() {
  if (!isLoaded()) return false;
  if (initialized_) return true;
  std::string cpuType;
  if (filesystem_->readString("cpu_type", cpuType)) {
    const size_t end = cpuType.find_last_not_of(" \t\n");
    cpuType.resize(end == std::string::npos ? 0 : end + 1);
    const QVProcessor processor = processorForCpuType(cpuType);
    if (processor != QVProcessorUnknown) processor_ = processor;
  }
  uint64_t value = 0;
  if (filesystem_->readUnsigned("cpu_khz", value)) {
    processorFrequency_ = value * 1000;
    cycleCounterFrequency_ = processorFrequency_;
  }
  if (filesystem_->readUnsigned("pointer_size", value)) bufferUnit_ = value;
  if (filesystem_->readUnsigned("timer_freq", value) && value != 0) {
    jiffy_ = 1.0 / double(value);
  } else {
    const long hz = sysconf(_SC_CLK_TCK);
    jiffy_ = hz > 0 ? 1.0 / double(hz) : jiffy_;
  }
  if (filesystem_->readUnsigned("num_counters", value)) {
    pmcCount_ = value;
  } else {
    pmcCount_ = 0;
    while (filesystem_->exists(std::to_string(pmcCount_))) ++pmcCount_;
  }
  counters_.clear();
  for (uint64_t i = 0; i < pmcCount_; ++i) {
    counters_.push_back(std::make_shared<QVDriverPerfMonCounter>(filesystem_, unsigned(i)));
  }

  timeLimitSupported_ = true;
  sampleLimitSupported_ = true;
  adaptiveIntervalSupported_ = true;
  disablePowerManagementSupported_ = false;
  threadTimeSamplingSupported_ = true;
  osTimeSamplingSupported_ = true;
  cpuTimeSamplingSupported_ = !LocalMachineIsVM();
  cpuEventSamplingSupported_ = !LocalMachineIsVM();
  threadTimeCallstacksSupported_ = true;
  if (filesystem_->exists("backtrace_depth")) {
    cpuTimeCallstacksSupported_ = true;
    cpuEventCallstacksSupported_ = true;
    osTimeCallstacksSupported_ = CompareVersions(LocalMachineKernelVersion(), "2.6.38") >= 0;
  }
  schedTraceSupported_ = false;
  syscallTraceSupported_ = false;

  uint64_t size = 0, watershed = 0, cpuSize = 0;
  getDefaultBufferConfig(size, watershed, cpuSize);
  // Forced through: the stored values may equal the defaults while the
  // module still holds another recording's settings.
  bufferSize_ = bufferWatershed_ = cpuBufferSize_ = UINT64_MAX;
  setBufferConfig(size, watershed, cpuSize);
  _writeBacktraceDepth(collectCallstacks_);
  initialized_ = true;
  return true;
}

void QVProfileDriverLinux::setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed, uint64_t cpuBufferSize) {
  if (bufferSize == bufferSize_ && bufferWatershed == bufferWatershed_ && cpuBufferSize == cpuBufferSize_) return;
  struct Entry {
    const char* name;
    uint64_t bytes;
    uint64_t unit;
    uint64_t* stored;
  };
  const Entry entries[] = {{"buffer_size", bufferSize, bufferUnit_, &bufferSize_},
                           {"buffer_watershed", bufferWatershed, bufferUnit_, &bufferWatershed_},
                           {"cpu_buffer_size", cpuBufferSize, cpuBufferUnit_, &cpuBufferSize_}};
  for (const Entry& entry : entries) {
    if (filesystem_->exists(entry.name) && entry.unit != 0) {
      filesystem_->writeInt(entry.name, (unsigned long)(entry.bytes / entry.unit));
    }
    uint64_t readBack = 0;
    *entry.stored = filesystem_->readUnsigned(entry.name, readBack) ? readBack * entry.unit : 0;
  }
}

void QVProfileDriverLinux::_writeBacktraceDepth(bool collect) {
  filesystem_->writeInt("backtrace_depth", collect ? kCallStackDepth : 0ul);
  uint64_t depth = 0;
  collectCallstacks_ = filesystem_->readUnsigned("backtrace_depth", depth) && depth != 0;
}

void QVProfileDriverLinux::setCollectCallstacks(bool collect) {
  if (collect != collectCallstacks_) _writeBacktraceDepth(collect);
}

bool QVProfileDriverLinux::_layoutEvent(const std::shared_ptr<QVPerfMonEventLinux>& event, uint64_t count) {
  if (!event || event == QVPerfMonEventLinux::NULL_EVENT) {
    QV_WARNING("[" << name_ << "] unable to set null event");
    return false;
  }
  const uint32_t mask = event->counterSelect();
  QV_DEBUG("[" << name_ << "] layout of event:" << event << " count:" << count << " availableMask:0x" << std::hex
               << mask << std::dec << " pmcCount:" << pmcCount_);
  for (uint64_t i = 0; i < pmcCount_ && i < 32 && i < counters_.size(); ++i) {
    if (!(mask & (1u << i)) || counters_[i]->enabled()) continue;
    QV_DEBUG("[" << name_ << "] placed event:" << event << " on counter " << i);
    counters_[i]->setEvent(event, count);
    return true;
  }
  QV_WARNING("[" << name_ << "] unable to find an available counter for event:" << event);
  return false;
}

void QVProfileDriverLinux::_configureCounters() {
  for (const auto& counter : counters_) counter->configure();
}

void QVProfileDriverLinux::_resetCounters() {
  for (const auto& counter : counters_) counter->reset();
}

std::shared_ptr<QVPerfMonEventLinux> QVProfileDriverLinux::_triggerEvent() const {
  if (!config_) return nullptr;
  const QVPerfMonEventId& id = config_->eventConfig->triggerEvent;
  if (id == EVENT_ID_CPU_CYCLES) return cyclesEvent_;
  if (id == EVENT_ID_CPU_INSTRUCTIONS_COMPLETED) return instructionsEvent_;
  if (id == EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES) return lastLevelCacheMissesEvent_;
  if (id == EVENT_ID_CPU_BRANCH_INSTRUCTIONS) return branchInstructionsEvent_;
  if (id == EVENT_ID_CPU_BRANCH_MISPREDICTS) return branchMispredictsEvent_;
  return eventList_ ? eventList_->eventWithIdentifier(id) : nullptr;
}

bool QVProfileDriverLinux::setup() {
  if (filesystem_->exists("idle_poll") && !filesystem_->writeInt("idle_poll", 1)) {
    QV_ERROR("[" << name_ << "] Unable to enable polling of idle threads.");
    QV_WARNING("[" << name_ << "] CPU power management could not be disabled, so samples may not be "
                   << "recorded at a fixed time interval. Processors may be operating in low "
                   << "power state.");
  }
  if (!config_) {
    QV_ERROR("no config");
    return false;
  }
  for (const char* mode : {"enable_kernel", "enable_user"}) {
    if (filesystem_->exists(mode)) filesystem_->writeInt(mode, 1);
  }
  _resetCounters();
  const bool qvprofile = identifier_ == QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE;
  const bool hasTimerCount = qvprofile && filesystem_->exists("timer_count");
  switch (config_->trigger) {
    case QVSessionConfig::TriggerTimerOS: {
      if (hasTimerCount) {
        const double ticks = jiffy_ > 0.0 ? config_->timerConfig->interval / jiffy_ : 1.0;
        const unsigned long count = ticks < 1.0 ? 1ul : (unsigned long)ticks;
        if (!filesystem_->writeInt("timer_count", count)) {
          QV_ERROR("unable to set timer count.");
          return false;
        }
      }
      break;
    }
    case QVSessionConfig::TriggerTimer:
      if (hasTimerCount) filesystem_->writeInt("timer_count", 0ul);
      if (!cyclesEvent_) {
        QV_ERROR("null timer event");
        return false;
      }
      if (!_layoutEvent(cyclesEvent_, secondsToCycles(config_->timerConfig->interval))) {
        QV_ERROR("[" << name_ << "] unable to layout timer event");
        return false;
      }
      _configureCounters();
      break;
    case QVSessionConfig::TriggerEvent: {
      if (hasTimerCount) filesystem_->writeInt("timer_count", 0ul);
      const std::shared_ptr<QVPerfMonEventLinux> trigger = _triggerEvent();
      if (!trigger) {
        QV_ERROR("[" << name_ << "] no trigger event with identifier: " << config_->eventConfig->triggerEvent);
        return false;
      }
      if (!_layoutEvent(trigger, config_->eventConfig->triggerCount)) {
        QV_ERROR("[" << name_ << "] failed to layout trigger event: " << trigger);
        return false;
      }
      for (const QVPerfMonEventId& id : config_->eventConfig->sortedCounterEvents()) {
        const auto event = eventList_ ? eventList_->eventWithIdentifier(id) : nullptr;
        if (!event) {
          QV_ERROR("[" << name_ << "] no counter event with identifier: " << id);
          return false;
        }
        if (!_layoutEvent(event, 0)) {
          QV_ERROR("[" << name_ << "] failed to layout counter event: " << event);
          return false;
        }
      }
      _configureCounters();
      break;
    }
    default:
      QV_ERROR("[" << name_ << "] unknown trigger");
      return false;
  }
  config_->printDebug();
  return true;
}

bool QVProfileDriverLinux::shutdown() {
  if (filesystem_->exists("idle_poll") && !filesystem_->writeInt("idle_poll", 0)) {
    QV_ERROR("[" << name_ << "] unable to disable polling of idle threads.");
    return false;
  }
  return true;
}

void QVProfileDriverLinux::getEnvironmentErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriver::getEnvironmentErrors(errors, append);
  if (processorFrequency_ > 0 && processorFrequency_ < 900000000ull) {
    errors.setWarningId(QVProfileDriverWarningLowCPUFrequency);
  }
  const uint64_t memory = QVMachineInfo::currentMachineInfo()->memorySize();
  if (memory > 0 && memory < 241591910ull) errors.setWarningId(QVProfileDriverWarningLowMemory);
  if (LocalMachineIsVM()) errors.setWarningId(QVProfileDriverWarningVirtualMachine);
  const int arch = LocalMachineArchitecture();
  if (arch == 17 || (arch >= 80 && arch <= 95)) errors.setWarningId(QVProfileDriverWarningNoFramePointer);
}

void QVProfileDriverLinux::getConfigErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriver::getConfigErrors(errors, append);
  if (!config_) return;
  const QVSessionConfig::Trigger trigger = config_->trigger;
  if (trigger != QVSessionConfig::TriggerTimerOS && processor_ == QVProcessorTimer) {
    errors.setErrorId(QVProfileDriverErrorTriggerNotAvailable);
    return;
  }
  auto checkCount = [&](const QVPerfMonEventLinux& event, uint64_t count) {
    if (count < event.minCount() || (collectCallstacks_ && count < event.minCountCallStack())) {
      errors.setWarningId(QVProfileDriverLinuxWarningTriggerIntervalTooSmall);
    }
    if (count > event.maxCount()) errors.setErrorId(QVProfileDriverLinuxErrorTriggerIntervalTooLarge);
  };
  const bool vm = LocalMachineIsVM();
  switch (trigger) {
    case QVSessionConfig::TriggerTimerOS:
      if (!osTimeSamplingSupported_) errors.setErrorId(QVProfileDriverErrorIncompatibleConfig);
      break;
    case QVSessionConfig::TriggerTimer:
      if (!cpuTimeSamplingSupported_ || vm || !cyclesEvent_) {
        errors.setErrorId(QVProfileDriverErrorIncompatibleConfig);
        break;
      }
      checkCount(*cyclesEvent_, secondsToCycles(config_->timerConfig->interval));
      break;
    case QVSessionConfig::TriggerEvent: {
      const QVProcessor wanted = config_->eventConfig->processor;
      const bool fits = wanted == QVProcessorUnknown || wanted == processor_ ||
                        (wanted == QVProcessorArchPerfMon && ProcessorHasArchPerfMon(processor_));
      if (!cpuEventSamplingSupported_ || vm || !fits) {
        errors.setErrorId(QVProfileDriverErrorIncompatibleConfig);
        break;
      }
      const auto event = _triggerEvent();
      if (!event) {
        errors.setErrorId(QVProfileDriverErrorTriggerNotAvailable);
        break;
      }
      checkCount(*event, config_->eventConfig->triggerCount);
      break;
    }
    default:
      errors.setErrorId(QVProfileDriverErrorUnknown);
      break;
  }
}

bool QVProfileDriverLinux::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVProfileDriverLinuxErrorTriggerIntervalTooLarge) {
    os << "The selected sampling interval is too large.";
    return true;
  }
  return QVProfileDriver::getErrorMessage(os, id);
}

bool QVProfileDriverLinux::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id != QVProfileDriverLinuxWarningTriggerIntervalTooSmall) return QVProfileDriver::getWarningMessage(os, id);
  if (!config_) return false;
  os << "The selected sampling interval may cause samples to be lost due to" << std::endl;
  if (config_->trigger == QVSessionConfig::TriggerEvent) {
    const auto event = _triggerEvent();
    const uint64_t limit = !event ? 0 : collectCallstacks_ ? event->minCountCallStack() : event->minCount();
    os << "         buffer overflow. To avoid this, set the event interval to be greater" << std::endl
       << "         than " << limit;
  } else {
    const uint64_t cycles = !cyclesEvent_        ? 0
                            : collectCallstacks_ ? cyclesEvent_->minCountCallStack()
                                                 : cyclesEvent_->minCount();
    std::ostringstream ms;
    ms << std::fixed << cyclesToSeconds(cycles) * 1000.0;
    os << "         buffer overflow. To avoid this, set the timer interval to be greater" << std::endl
       << "         than " << ms.str() << "ms";
  }
  if (collectCallstacks_) os << " or disable the collection of callstacks";
  os << ".";
  return true;
}

}  // namespace Quorvel
