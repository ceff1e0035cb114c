#include "Linux/oprofile/QVProfileDriverLinuxOprofile.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>
#include <regex>
#include <sstream>

#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "base/QVErrorManager.h"
#include "base/QVLog.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

bool QVProfileDriverLinuxOprofile::disabled_ = std::getenv("QV_DISABLE_OPROFILE_DRIVER") != nullptr;
bool QVProfileDriverLinuxOprofile::debugEventList_ = std::getenv("QV_DEBUG_OPROFILE_EVENT_LIST") != nullptr;

namespace {

const char kRoot[] = "/dev/oprofile";
constexpr uint64_t kBufferSize = 0x100000;
constexpr uint64_t kBufferWatershed = 0x40000;
constexpr uint64_t kCpuBufferSize = 0x20000;
// Bytes of one entry of oprofile's per-processor buffers.
constexpr uint64_t kCpuBufferUnit = 16;
// Includes name other processors' files; a chain deeper than this is a loop.
constexpr int kIncludeDepth = 8;

const bool registered = QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, [] {
  return std::static_pointer_cast<QVProfileDriver>(QVProfileDriverLinuxOprofile::defaultDriver());
});

// oprofile's names of the five generic events, by processor family; the
// first a processor's file defines is the one bound.
const std::vector<std::pair<const QVPerfMonEventId*, std::vector<const char*>>>& BuiltinNames() {
  static const std::vector<std::pair<const QVPerfMonEventId*, std::vector<const char*>>> names = {
      {&EVENT_ID_CPU_CYCLES, {"CPU_CLK_UNHALTED", "GLOBAL_POWER_EVENTS", "CPU_CYCLES", "CYCLES", "CPU_CLK"}},
      {&EVENT_ID_CPU_INSTRUCTIONS_COMPLETED,
       {"INST_RETIRED", "RETIRED_INSNS", "INST_RETIRED_ANY_P", "INSTR_RETIRED", "INSN_EXECUTED", "INSTR_EXECUTED",
        "RETIRED_INSTRUCTIONS", "COMPLETED_INSNS"}},
      {&EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES,
       {"LLC_MISSES", "DATA_CACHE_REFILLS_FROM_SYSTEM", "BSQ_CACHE_REFERENCE", "L2_LD", "DCACHE_MISS", "L2C_READ_MISS",
        "DCACHE_REFILL", "L3_CACHE_MISS", "L2_CACHE_MISS"}},
      {&EVENT_ID_CPU_BRANCH_INSTRUCTIONS,
       {"BR_INST_RETIRED", "RETIRED_BRANCHES", "BRANCH_RETIRED", "BR_INST_EXECUTED", "BR_EXECUTED",
        "PC_BRANCH_EXECUTED", "RETIRED_BRANCH_INSTRUCTIONS", "COMPLETED_BRANCHES"}},
      {&EVENT_ID_CPU_BRANCH_MISPREDICTS,
       {"BR_MISS_PRED_RETIRED", "RETIRED_BRANCHES_MISPREDICTED", "MISPRED_BRANCH_RETIRED", "BR_INST_MISS_PRED",
        "PC_BRANCH_MIS_PRED", "BR_INST_MISPRED", "RETIRED_MISPREDICTED_BRANCH_INSTRUCTIONS", "MISPREDICTED_BRANCHES",
        "BRANCHES_MISPREDICTED"}},
  };
  return names;
}

const QVPerfMonEventId* BuiltinFor(const std::string& name) {
  for (const auto& entry : BuiltinNames()) {
    for (const char* known : entry.second) {
      if (name == known) return entry.first;
    }
  }
  return nullptr;
}

std::string Trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The events root of a file DIR/<family>/<model>/NAME: included processors
// are named from there.
std::string EventsRootOf(const std::string& path) { return PathDirectory(PathDirectory(PathDirectory(path))); }

uint64_t ParseNumber(const std::string& text) { return std::strtoull(Trimmed(text).c_str(), nullptr, 0); }

// "cpuid" stands for every counter; otherwise a comma list of counter numbers.
uint32_t CounterMask(const std::string& counters, uint64_t counterCount) {
  if (counters == "cpuid") {
    return counterCount == 0 || counterCount >= 32 ? 0xffffffffu : uint32_t((1ull << counterCount) - 1);
  }
  uint32_t mask = 0;
  std::istringstream list(counters);
  std::string item;
  while (std::getline(list, item, ',')) {
    const unsigned long counter = std::strtoul(item.c_str(), nullptr, 10);
    if (counter < 32) mask |= 1u << counter;
  }
  return mask;
}

}  // namespace

std::shared_ptr<QVProfileDriverLinuxOprofile> QVProfileDriverLinuxOprofile::defaultDriver() {
  static const std::shared_ptr<QVProfileDriverLinuxOprofile> instance =
      std::make_shared<QVProfileDriverLinuxOprofile>(QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, kRoot);
  return instance;
}

QVProfileDriverLinuxOprofile::QVProfileDriverLinuxOprofile(const std::string& identifier,
                                                           const std::string& filesystemRoot)
    : QVProfileDriverLinux(identifier, filesystemRoot) {
  (void)registered;
  cpuBufferUnit_ = kCpuBufferUnit;
}

void QVProfileDriverLinuxOprofile::getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed,
                                                          uint64_t& cpuBufferSize) const {
  bufferSize = kBufferSize;
  bufferWatershed = kBufferWatershed;
  cpuBufferSize = kCpuBufferSize;
}

bool QVProfileDriverLinuxOprofile::isAvailable() const {
  QVEffectiveUser root(0, 0);
  if (disabled_) {
    QV_DEBUG("[" << name_ << "] " << name_ << " driver disabled by environment variable");
    return false;
  }
  return QVProfileDriverLinux::isAvailable();
}

bool QVProfileDriverLinuxOprofile::load(const std::vector<std::string>& args) {
  QVEffectiveUser root(0, 0);
  return QVProfileDriverLinux::load(args);
}

bool QVProfileDriverLinuxOprofile::_inTimerMode() const { return processor_ == QVProcessorTimer; }

bool QVProfileDriverLinuxOprofile::setConfig(const std::shared_ptr<QVSessionConfig>& config) {
  QVProfileDriverLinux::setConfig(config);
  if (!config) return true;
  switch (config->trigger) {
    case QVSessionConfig::TriggerTimerOS:
      if (!stuckInEventMode_ && setTimerMode()) return true;
      stuckInEventMode_ = true;
      return false;
    case QVSessionConfig::TriggerTimer:
    case QVSessionConfig::TriggerEvent:
      if (!stuckInTimerMode_ && setEventMode()) return true;
      stuckInTimerMode_ = true;
      return false;
    default:
      return true;
  }
}

bool QVProfileDriverLinuxOprofile::setTimerMode() { return _setMode(true); }

bool QVProfileDriverLinuxOprofile::setEventMode() { return _setMode(false); }

bool QVProfileDriverLinuxOprofile::_setMode(bool timer) {
  const char* mode = timer ? "timer" : "event";
  // Only a loaded and read driver tells its mode.
  if (isLoaded() && init() && _inTimerMode() == timer) return true;
  const std::string failure = "[" + name_ + "] unable to switch to " + mode + " mode";
  if (!unload()) {
    QV_WARNING(failure << " - driver could not be unloaded");
    return false;
  }
  if (!load(timer ? std::vector<std::string>{"timer=1"} : std::vector<std::string>())) {
    QV_WARNING(failure << " - driver could not be loaded");
    return false;
  }
  if (!init()) {
    QV_WARNING(failure << " - driver could not be re-initialized");
    return false;
  }
  if (_inTimerMode() != timer) {
    QV_WARNING(failure);
    return false;
  }
  QV_DEBUG("[" << name_ << "] switched to " << mode << " mode");
  return true;
}

bool QVProfileDriverLinuxOprofile::init() {
  const bool fresh = !initialized();
  if (!QVProfileDriverLinux::init()) return false;
  if (!fresh) return true;
  eventsDirectory_.clear();
  for (const char* candidate : {"/usr/local/share/oprofile", "/usr/share/oprofile"}) {
    const std::string directory = QVSystemPaths::path(candidate);
    if (DirectoryExists(directory)) {
      eventsDirectory_ = directory;
      break;
    }
  }
  if (eventsDirectory_.empty()) {
    QV_WARNING("[" << name_ << "] unable to find event definitions directory "
                   << QVSystemPaths::path("/usr/share/oprofile"));
  }
  if (eventList_ || _inTimerMode()) return true;
  std::string text;
  if (!filesystem_->readString("cpu_type", text)) {
    QV_ERROR("[" << name_ << "] failed to read driver cpu type");
    return false;
  }
  cpuType_ = Trimmed(text);
  QVEffectiveUser root(0, 0);
  _loadEvents(eventsDirectory_, cpuType_);
  return true;
}

bool QVProfileDriverLinuxOprofile::_loadEvents(const std::string& directory, const std::string& cpuType) {
  if (cpuType == "timer") return true;
  const std::string prefix = "[" + name_ + "]";
  std::map<std::string, OprofileUnitMask> masks;
  if (!_parseUnitMasksFile(directory + "/" + cpuType + "/unit_masks", masks)) {
    QV_ERROR(prefix << " unable to parse unit mask definitions");
    return false;
  }
  std::vector<OprofileEvent> parsed;
  if (!_parseEventsFile(directory + "/" + cpuType + "/events", parsed)) {
    QV_ERROR(prefix << " failed to parse event definitions");
    return false;
  }
  auto list = std::make_shared<QVPerfMonEventListLinux>(processor_, uint32_t(pmcCount_), cpuType);
  std::map<const QVPerfMonEventId*, std::shared_ptr<QVPerfMonEventLinux>> builtins;
  for (const OprofileEvent& event : parsed) {
    uint64_t unitMaskValue = 0;
    if (event.unitMask.empty()) {
      QV_WARNING(prefix << " event '" << event.name << "'"
                        << " has on unit mask");
    } else {
      auto mask = masks.find(event.unitMask);
      if (mask == masks.end()) {
        QV_WARNING(prefix << " event '" << event.name << "' unit mask '" << event.unitMask << "' not recognized");
      } else {
        unitMaskValue = mask->second.defaultValue;
      }
    }
    const QVPerfMonEventId identifier(event.name, event.description, "Hardware");
    if (list->eventWithIdentifier(identifier)) {
      QV_DEBUG("skipping event with duplicate identifier: " << identifier);
      continue;
    }
    auto linuxEvent =
        std::make_shared<QVPerfMonEventLinux>(identifier, CounterMask(event.counters, pmcCount_), event.code, 0,
                                              uint32_t(unitMaskValue), event.minimum, event.minimum, 0xFFFFFFFFull);
    list->addEvent(linuxEvent);
    events_.insert(identifier);
    const QVPerfMonEventId* builtin = BuiltinFor(event.name);
    if (builtin && !builtins.count(builtin)) builtins[builtin] = linuxEvent;
  }
  for (const auto& bound : builtins) events_.insert(*bound.first);
  auto builtin = [&builtins](const QVPerfMonEventId& id) {
    auto found = builtins.find(&id);
    return found == builtins.end() ? nullptr : found->second;
  };
  cyclesEvent_ = builtin(EVENT_ID_CPU_CYCLES);
  instructionsEvent_ = builtin(EVENT_ID_CPU_INSTRUCTIONS_COMPLETED);
  lastLevelCacheMissesEvent_ = builtin(EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES);
  branchInstructionsEvent_ = builtin(EVENT_ID_CPU_BRANCH_INSTRUCTIONS);
  branchMispredictsEvent_ = builtin(EVENT_ID_CPU_BRANCH_MISPREDICTS);
  eventList_ = list;

  if (debugEventList_) {
    std::ostringstream text;
    for (const OprofileEvent& event : parsed) {
      text << event.name << "\tevent:0x" << std::hex << event.code << " counterMask:0x"
           << CounterMask(event.counters, pmcCount_) << std::dec << " unitMasks:{" << event.unitMask
           << "} minimum:" << event.minimum << "\n";
    }
    for (const auto& entry : masks) {
      const OprofileUnitMask& mask = entry.second;
      text << "name:" << mask.name << " type:" << mask.type << " default:0x" << std::hex << mask.defaultValue
           << std::dec << "\n";
      for (const auto& value : mask.values) {
        text << "\tvalue:0x" << std::hex << value.first << std::dec << " description:" << value.second << "\n";
      }
    }
    QV_DEBUG(prefix << " event list of " << cpuType << ":\n" << text.str());
  }
  return true;
}

bool QVProfileDriverLinuxOprofile::_walkDescriptionFiles(
    const std::string& path, const std::string& what,
    const std::function<void(const std::string& line, size_t file)>& onLine) const {
  static const std::regex include("^include:(.*)$");
  const std::string fileName = path.substr(path.rfind('/') + 1);
  // Includes are walked with an explicit stack of open files, bounded; each
  // file opened gets its own index, so that what a file started is not
  // continued by the next file included at the same depth.
  struct Open {
    std::string path;
    std::unique_ptr<std::ifstream> in;
    size_t index;
  };
  std::vector<Open> files;
  size_t opened = 0;
  auto open = [&](const std::string& file) {
    if (!FileExists(file)) {
      QV_ERROR("[" << name_ << "] unable to find " << what << " file " << file);
      return false;
    }
    auto in = std::make_unique<std::ifstream>(file);
    if (!*in) {
      QV_ERROR("[" << name_ << "] unable to open " << what << " file " << file);
      return false;
    }
    files.push_back(Open{file, std::move(in), opened++});
    return true;
  };
  if (!open(path)) return false;
  std::string line;
  std::smatch match;
  while (!files.empty()) {
    if (!std::getline(*files.back().in, line)) {
      QV_DEBUG("[" << name_ << "] parsed " << what << " file " << files.back().path);
      files.pop_back();
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, match, include)) {
      if (files.size() >= size_t(kIncludeDepth)) {
        QV_WARNING("[" << name_ << "] includes nested too deeply at " << files.back().path);
        continue;
      }
      if (!open(EventsRootOf(files.back().path) + "/" + Trimmed(match[1]) + "/" + fileName)) return false;
      continue;
    }
    onLine(line, files.back().index);
  }
  return true;
}

bool QVProfileDriverLinuxOprofile::_parseEventsFile(const std::string& path, std::vector<OprofileEvent>& events) const {
  static const std::regex withFilter(
      "^[\\s]*event:((?:0x|0X)[0-9a-fA-F]+)[\\s]+counters:([^\\s]+)[\\s]+um:([^\\s]+)[\\s]+minimum:([0-9]+)"
      "[\\s]+filter:[0-9]+[\\s]+name:([^\\s]+)[\\s]+:[\\s]*(.*)$");
  static const std::regex plain(
      "^[\\s]*event:((?:0x|0X)[0-9a-fA-F]+)[\\s]+counters:([^\\s]+)[\\s]+um:([^\\s]+)[\\s]+minimum:([0-9]+)"
      "[\\s]+name:([^\\s]+)[\\s]+:[\\s]*(.*)$");
  return _walkDescriptionFiles(path, "event definitions", [&](const std::string& line, size_t) {
    std::smatch match;
    if (!std::regex_match(line, match, withFilter) && !std::regex_match(line, match, plain)) return;
    OprofileEvent event;
    event.code = uint32_t(std::strtoul(match[1].str().c_str(), nullptr, 16));
    event.counters = match[2];
    event.unitMask = match[3];
    event.minimum = std::strtoull(match[4].str().c_str(), nullptr, 10);
    event.name = match[5];
    event.description = match[6];
    events.push_back(event);
  });
}

bool QVProfileDriverLinuxOprofile::_parseUnitMasksFile(const std::string& path,
                                                       std::map<std::string, OprofileUnitMask>& masks) const {
  static const std::regex header("^name:([^\\s]+)[\\s]+type:([^\\s]+)[\\s]+default:(.*)$");
  static const std::regex value("^[\\s]+((?:0x|0X)[0-9a-fA-F]+)[\\s]+(.*)");
  // Values belong to the mask last started in the same file.
  std::map<size_t, std::string> current;
  return _walkDescriptionFiles(path, "unit mask definitions", [&](const std::string& line, size_t file) {
    std::smatch match;
    if (std::regex_match(line, match, header)) {
      OprofileUnitMask mask;
      mask.name = match[1];
      mask.type = match[2];
      mask.defaultValue = ParseNumber(match[3]);
      current[file] = mask.name;
      masks[mask.name] = mask;  // a file's own mask replaces an included one
      return;
    }
    const auto started = current.find(file);
    if (started != current.end() && std::regex_match(line, match, value)) {
      masks[started->second].values.emplace_back(std::strtoull(match[1].str().c_str(), nullptr, 16), Trimmed(match[2]));
    }
  });
}

void QVProfileDriverLinuxOprofile::getConfigErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriverLinux::getConfigErrors(errors, append);
  if (!config_) return;
  const QVSessionConfig::Trigger trigger = config_->trigger;
  if (trigger == QVSessionConfig::TriggerTimerOS && stuckInEventMode_) {
    errors.setErrorId(QVProfileDriverLinuxErrorOprofileStuckInEventMode);
  }
  if ((trigger == QVSessionConfig::TriggerTimer || trigger == QVSessionConfig::TriggerEvent) && stuckInTimerMode_) {
    errors.setErrorId(QVProfileDriverLinuxErrorOprofileStuckInTimerMode);
  }
}

void QVProfileDriverLinuxOprofile::getEnvironmentErrors(QVErrorManager& errors, bool append) const {
  QVProfileDriverLinux::getEnvironmentErrors(errors, append);
  if (!stuckInTimerMode_ && !FileExists(eventsDirectory_ + "/" + cpuType_)) {
    errors.setWarningId(QVProfileDriverWarningNoEventList);
  }
}

bool QVProfileDriverLinuxOprofile::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id == QVProfileDriverLinuxErrorOprofileStuckInEventMode) {
    os << "The oprofile driver could not be switched to timer mode. Only the CPU" << std::endl
       << "       time and CPU event triggers are available.";
    return true;
  }
  if (id == QVProfileDriverLinuxErrorOprofileStuckInTimerMode) {
    os << "The oprofile driver could not be switched to event mode. Only the OS" << std::endl
       << "       time trigger is available.";
    return true;
  }
  return QVProfileDriverLinux::getErrorMessage(os, id);
}

bool QVProfileDriverLinuxOprofile::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id != QVProfileDriverWarningNoEventList) return QVProfileDriverLinux::getWarningMessage(os, id);
  const std::string path = eventsDirectory_ + "/" + cpuType_;
  if (!FileExists(path)) {
    os << "The oprofile driver was unable to find the event list:" << std::endl
       << "         " << path << std::endl
       << "         Please verify that the oprofile package is installed and that your" << std::endl
       << "         hardware is supported. Only the OS timer trigger is available.";
  }
  return true;
}

}  // namespace Quorvel
