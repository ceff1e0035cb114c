#include "Linux/notify/QVNotifyDriverLinux.h"

#include <cstdlib>

#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverModule.h"
#include "base/QVLog.h"
#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {

bool QVNotifyDriverLinux::disabled_ = std::getenv("QV_DISABLE_QVNOTIFY_DRIVER") != nullptr;

namespace {

// Machines with more than this much memory can afford the larger buffer.
constexpr uint64_t kLargeMemory = 0x3FFFFFFF;
constexpr uint64_t kLargeBuffer = 0x100000;
constexpr uint64_t kSmallBuffer = 0x20000;

// The platform's candidate for the notify-driver registry.
const bool kRegistered = [] {
  QVNotifyDriver::registerBackend([] { return std::shared_ptr<QVNotifyDriver>(QVNotifyDriverLinux::defaultDriver()); });
  return true;
}();

}  // namespace

QVNotifyDriverLinux::QVNotifyDriverLinux(const std::string& identifier, const std::string& filesystemRoot)
    : QVNotifyDriver(identifier),
      filesystem_(std::make_shared<QVDriverFilesystem>(QVSystemPaths::path(filesystemRoot))) {}

QVNotifyDriverLinux::~QVNotifyDriverLinux() = default;

std::shared_ptr<QVNotifyDriverLinux> QVNotifyDriverLinux::defaultDriver() {
  static const std::shared_ptr<QVNotifyDriverLinux> driver =
      std::make_shared<QVNotifyDriverLinux>(QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
  return driver;
}

bool QVNotifyDriverLinux::isLoaded() const { return filesystem_->exists("buffer"); }

bool QVNotifyDriverLinux::isAvailable() const {
  if (disabled_) {
    QV_DEBUG("[" << name_ << "] " << name_ << " driver disabled by environment variable");
    return false;
  }
  if (!QVDriverModule::modprobeFinds(name_)) {
    QV_DEBUG("[" << name_ << "] " << name_ << " module not found");
    return false;
  }
  if (!FileExists(QVDriverModule::initScriptPath(name_))) {
    QV_DEBUG("[" << name_ << "] " << name_ << " script not found");
    return false;
  }
  QV_DEBUG("[" << name_ << "] " << name_ << " module is available");
  return true;
}

bool QVNotifyDriverLinux::load(const std::vector<std::string>& args) {
  QVEffectiveUser root(0, 0);
  if (isLoaded()) return true;
  const std::string script = QVDriverModule::initScriptPath(name_);
  if (!FileExists(script)) return false;
  std::vector<std::string> startArgs = {"start"};
  startArgs.insert(startArgs.end(), args.begin(), args.end());
  const int status = QVDriverModule::runInitScript(name_, startArgs);
  if (QVDriverModule::exitedWithZero(status)) {
    QV_DEBUG("[" << name_ << "] loaded " << script);
    return true;
  }
  QV_DEBUG("[" << name_ << "] failed to load " << script << " (" << QVDriverModule::exitStatusOf(status) << ")");
  // A half-started driver (a mount without a daemon) must not linger.
  QVDriverModule::runInitScript(name_, {"stop"});
  return false;
}

bool QVNotifyDriverLinux::unload() {
  QVEffectiveUser root(0, 0);
  if (!isLoaded()) return true;
  const std::string script = QVDriverModule::initScriptPath(name_);
  const int status = QVDriverModule::runInitScript(name_, {"stop"});
  if (QVDriverModule::exitedWithZero(status)) {
    QV_DEBUG("[" << name_ << "] unloaded " << script);
    wordSize_ = 0;
    return true;
  }
  QV_WARNING("[" << name_ << "] failed to unload " << script << " (" << QVDriverModule::exitStatusOf(status) << ")");
  return false;
}

bool QVNotifyDriverLinux::init() {
  if (!isLoaded()) return false;
  uint64_t value = 0;
  if (!filesystem_->readUnsigned("pointer_size", value) || (value != 4 && value != 8)) {
    QV_WARNING("[" << name_ << "] unusable pointer_size in " << filesystem_->root());
    return false;
  }
  wordSize_ = value;
  uint64_t size = 0;
  uint64_t watershed = 0;
  getDefaultBufferConfig(size, watershed);
  setBufferConfig(size, watershed);
  return true;
}

bool QVNotifyDriverLinux::setup() { return isLoaded(); }
bool QVNotifyDriverLinux::shutdown() { return isLoaded(); }

void QVNotifyDriverLinux::defaultBufferConfigFor(uint64_t memorySize, uint64_t& bufferSize, uint64_t& bufferWatershed) {
  bufferSize = memorySize > kLargeMemory ? kLargeBuffer : kSmallBuffer;
  bufferWatershed = bufferSize / 4;
}

void QVNotifyDriverLinux::getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const {
  const auto machine = QVMachineInfo::currentMachineInfo();
  defaultBufferConfigFor(machine ? machine->memorySize() : 0, bufferSize, bufferWatershed);
}

void QVNotifyDriverLinux::setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed) {
  if (wordSize_ == 0) return;
  const struct {
    const char* name;
    uint64_t bytes;
    uint64_t* stored;
  } entries[] = {{"buffer_size", bufferSize, &bufferSize_}, {"buffer_watershed", bufferWatershed, &bufferWatershed_}};
  for (const auto& entry : entries) {
    filesystem_->writeInt(entry.name, (unsigned long)(entry.bytes / wordSize_));
    uint64_t readBack = 0;
    *entry.stored = filesystem_->readUnsigned(entry.name, readBack) ? readBack * wordSize_ : 0;
  }
}

}  // namespace Quorvel
