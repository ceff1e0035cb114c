#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <vector>

#include "Linux/driver/QVPerfMonEventLinux.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

bool QVProfileDriverLinuxQVProfile::disabled_ = std::getenv("QV_DISABLE_QVPROFILE_DRIVER") != nullptr;

namespace {

const char kRoot[] = "/dev/qvprofile";
constexpr uint64_t kBufferSize = 0x100000;
constexpr uint64_t kBufferWatershed = 0x40000;
constexpr uint64_t kCpuBufferSize = 0x30000;
// Bytes of one per-processor buffer entry of the module.
constexpr uint64_t kCpuBufferUnit = 24;

std::mutex& ReleaseMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<std::string()>& ReleaseSource() {
  static std::function<std::string()> source;
  return source;
}

// Empty when uname fails: the Xen check then does not apply.
std::string KernelRelease() {
  {
    std::lock_guard<std::mutex> lock(ReleaseMutex());
    if (ReleaseSource()) return ReleaseSource()();
  }
  struct utsname names;
  return uname(&names) == 0 ? std::string(names.release) : std::string();
}

const bool registered = QVProfileDriver::registerBackend(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, [] {
  return std::static_pointer_cast<QVProfileDriver>(QVProfileDriverLinuxQVProfile::defaultDriver());
});

}  // namespace

std::shared_ptr<QVProfileDriverLinuxQVProfile> QVProfileDriverLinuxQVProfile::defaultDriver() {
  static const std::shared_ptr<QVProfileDriverLinuxQVProfile> instance =
      std::make_shared<QVProfileDriverLinuxQVProfile>(QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, kRoot);
  return instance;
}

QVProfileDriverLinuxQVProfile::QVProfileDriverLinuxQVProfile(const std::string& identifier,
                                                             const std::string& filesystemRoot)
    : QVProfileDriverLinux(identifier, filesystemRoot) {
  (void)registered;
  cpuBufferUnit_ = kCpuBufferUnit;
}

void QVProfileDriverLinuxQVProfile::setKernelReleaseSource(std::function<std::string()> source) {
  std::lock_guard<std::mutex> lock(ReleaseMutex());
  ReleaseSource() = std::move(source);
}

void QVProfileDriverLinuxQVProfile::getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed,
                                                           uint64_t& cpuBufferSize) const {
  bufferSize = kBufferSize;
  bufferWatershed = kBufferWatershed;
  cpuBufferSize = kCpuBufferSize;
}

bool QVProfileDriverLinuxQVProfile::isAvailable() const {
  if (disabled_) {
    QV_DEBUG("[" << name_ << "] " << name_ << " driver disabled by environment variable");
    return false;
  }
  const std::string release = KernelRelease();
  if (release.size() >= 3 && release.compare(release.size() - 3, 3, "xen") == 0) {
    QV_DEBUG("[" << name_ << "] " << name_ << " driver disabled due to incompatibility with Xen kernel");
    return false;
  }
  return QVProfileDriverLinux::isAvailable();
}

bool QVProfileDriverLinuxQVProfile::init() {
  if (!QVProfileDriverLinux::init()) return false;
  // Timer mode programs no counter, so it records without an event list.
  if (events_.empty() && !_loadEvents() && processor_ != QVProcessorTimer) return false;
  disablePowerManagementSupported_ = true;
  return true;
}

std::string QVProfileDriverLinuxQVProfile::eventListPath(QVProcessor processor) {
  std::string name = ProcessorToString(processor);
  const size_t colon = name.find(':');
  if (colon != std::string::npos) name[colon] = '-';
  return GetShareDirectory() + "/events/" + name + ".xml";
}

bool QVProfileDriverLinuxQVProfile::_loadEvents() {
  const std::string prefix = "[" + name_ + "] ";
  std::vector<QVProcessor> candidates;
  const QVProcessor local = LocalMachineProcessorType();
  if (local == QVProcessorUnknown) {
    QV_DEBUG(prefix << "local processor type is unknown");
  } else {
    QV_DEBUG(prefix << "local processor type: " << ProcessorToString(local));
    candidates.push_back(local);
  }
  if (processor_ == QVProcessorUnknown) {
    QV_DEBUG(prefix << "driver processor type is unknown");
  } else {
    QV_DEBUG(prefix << "driver processor type: " << ProcessorToString(processor_));
    if (processor_ == QVProcessorTimer) {
      QV_DEBUG(prefix << "driver is in timer mode");
    } else {
      candidates.push_back(processor_);
    }
  }
  if (ProcessorHasArchPerfMon(local)) {
    QV_DEBUG(prefix << "arch perfmon is supported");
    candidates.push_back(QVProcessorArchPerfMon);
  } else {
    QV_DEBUG(prefix << "arch perfmon is not supported");
  }
  if (candidates.empty()) {
    QV_DEBUG(prefix << "valid processor type not detected - unable to load event list");
    return false;
  }
  std::string path;
  for (auto candidate = candidates.rbegin(); candidate != candidates.rend(); ++candidate) {
    const std::string tried = eventListPath(*candidate);
    if (FileExists(tried)) {
      QV_DEBUG(prefix << "found event list at " << tried);
      path = tried;
      break;
    }
    QV_DEBUG(prefix << "event list not found at " << tried);
  }
  if (path.empty()) {
    QV_WARNING(prefix << "failed to find event list");
    return false;
  }
  std::shared_ptr<QVPerfMonEventListLinux> list;
  {
    QVEffectiveUser root(0, 0);
    std::ifstream in(path);
    if (!in) {
      QV_WARNING(prefix << "failed to open event list " << path);
      return false;
    }
    // A malformed list is the installation's fault, not the caller's:
    // it ends init with a logged reason instead of an exception.
    try {
      std::unique_ptr<QVUnarchiver> unarchiver = QVUnarchiver::createUnarchiver(in);
      unarchiver->decodeObjectForKey("EventList", list);
    } catch (const QVException& error) {
      QV_WARNING(prefix << "failed to read event list " << path << " - " << error.what());
      return false;
    }
  }
  if (!list) return false;
  QV_DEBUG(prefix << "loaded event list at " << path);
  eventList_ = list;
  for (size_t i = 0; i < list->eventCount(); ++i) events_.insert(list->eventAtIndex(i)->identifier());
  cyclesEvent_ = list->eventWithIdentifier(EVENT_ID_CPU_CYCLES);
  instructionsEvent_ = list->eventWithIdentifier(EVENT_ID_CPU_INSTRUCTIONS_COMPLETED);
  lastLevelCacheMissesEvent_ = list->eventWithIdentifier(EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES);
  branchInstructionsEvent_ = list->eventWithIdentifier(EVENT_ID_CPU_BRANCH_INSTRUCTIONS);
  branchMispredictsEvent_ = list->eventWithIdentifier(EVENT_ID_CPU_BRANCH_MISPREDICTS);
  return true;
}

}  // namespace Quorvel
