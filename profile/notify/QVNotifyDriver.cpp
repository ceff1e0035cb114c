#include "notify/QVNotifyDriver.h"

#include <cstdlib>
#include <mutex>
#include <ostream>

#include "archive/QVArchiver.h"
#include "base/QVLog.h"
#include "notify/QVNotificationIds.h"
#include "system/QVFileUtils.h"

namespace Quorvel {

bool QVNotifyDriver::debug_ = std::getenv("QV_DEBUG_QVNOTIFY_DRIVER") != nullptr;

namespace {

struct Registry {
  std::recursive_mutex mutex;
  QVNotifyDriver::BackendProvider provider;
  std::vector<std::shared_ptr<QVNotifyDriver>> available;
  std::shared_ptr<QVNotifyDriver> current;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

void FillRegistry(Registry& registry) {
  if (!registry.available.empty()) return;
  std::shared_ptr<QVNotifyDriver> driver = registry.provider ? registry.provider() : nullptr;
  if (driver && driver->isAvailable()) {
    registry.available.push_back(driver);
  } else {
    registry.available.push_back(std::make_shared<QVNotifyDriver>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_UNKNOWN));
  }
}

std::string InstallScriptPath() {
  std::string directory = GetInstallDirectory();
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory + "setup/install_driver.sh";
}

}  // namespace

QVNotifyDriver::QVNotifyDriver(const std::string& identifier)
    : identifier_(identifier), name_(nameForIdentifier(identifier)) {}

QVNotifyDriver::~QVNotifyDriver() = default;

std::string QVNotifyDriver::nameForIdentifier(const std::string& identifier) {
  return identifier == QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY ? "qvnotify" : "unknown";
}

bool QVNotifyDriver::isAvailable() const { return false; }
bool QVNotifyDriver::load(const std::vector<std::string>& /*args*/) { return false; }
bool QVNotifyDriver::init() { return false; }
bool QVNotifyDriver::setup() { return false; }
bool QVNotifyDriver::shutdown() { return false; }
bool QVNotifyDriver::unload() { return false; }
bool QVNotifyDriver::isLoaded() const { return false; }

void QVNotifyDriver::getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const {
  bufferSize = 0;
  bufferWatershed = 0;
}

void QVNotifyDriver::setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed) {
  bufferSize_ = bufferSize;
  bufferWatershed_ = bufferWatershed;
}

void QVNotifyDriver::getBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const {
  bufferSize = bufferSize_;
  bufferWatershed = bufferWatershed_;
}

void QVNotifyDriver::getEnvironmentErrors(QVErrorManager& errors, bool append) const {
  if (!append) errors.clear();
  if (!isLoaded()) errors.setErrorId(QVNotifyDriverErrorNoDriver);
}

bool QVNotifyDriver::getErrorMessage(std::ostream& os, const std::string& id) const {
  if (id.find("Error") == std::string::npos) QV_ERROR("invalid error id: " << id);
  if (id == QVNotifyDriverErrorNoDriver) {
    os << "The process exit notification kernel driver is not installed." << std::endl
       << "       To install the required kernel drivers, open a terminal and type:" << std::endl
       << "       > su root" << std::endl
       << "       > " << InstallScriptPath();
    return true;
  }
  if (id == QVNotifyDriverErrorUnknown) {
    os << "Unknown notify driver error.";
    return true;
  }
  return false;
}

bool QVNotifyDriver::getWarningMessage(std::ostream& /*os*/, const std::string& id) const {
  if (id.find("Warning") == std::string::npos) QV_ERROR("invalid warning id: " << id);
  return false;
}

void QVNotifyDriver::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(identifier_, "Identifier");
  archiver->encodeString(name_, "Name");
  archiver->encodeUnsigned(bufferSize_, "BufferSize");
  archiver->encodeUnsigned(bufferWatershed_, "BufferWatershed");
}

void QVNotifyDriver::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeString("Identifier", identifier_);
  unarchiver->decodeString("Name", name_);
  bufferSize_ = unarchiver->decodeUnsigned("BufferSize");
  bufferWatershed_ = unarchiver->decodeUnsigned("BufferWatershed");
}

void QVNotifyDriver::getDescription(std::ostream& os) const {
  os << "name=" << name_ << " bufferSize=0x" << std::hex << bufferSize_ << " bufferWatershed=0x" << bufferWatershed_
     << std::dec;
}

std::vector<std::shared_ptr<QVNotifyDriver>> QVNotifyDriver::availableDrivers() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  FillRegistry(registry);
  return registry.available;
}

std::shared_ptr<QVNotifyDriver> QVNotifyDriver::defaultDriver() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  if (!registry.current) {
    FillRegistry(registry);
    registry.current = registry.available.front();
  }
  return registry.current;
}

std::string QVNotifyDriver::defaultDriverId() {
  const std::shared_ptr<QVNotifyDriver> driver = defaultDriver();
  return driver ? driver->identifier() : std::string();
}

bool QVNotifyDriver::setDefaultDriverId(const std::string& id) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  FillRegistry(registry);
  std::shared_ptr<QVNotifyDriver> chosen;
  if (id.empty() || id == QV_NOTIFY_DRIVER_ID_UNKNOWN) {
    chosen = registry.available.front();
  } else {
    for (const auto& driver : registry.available) {
      if (driver->identifier() == id) chosen = driver;
    }
  }
  if (!chosen || (chosen->identifier() != QV_NOTIFY_DRIVER_ID_UNKNOWN && !chosen->load({}))) {
    QV_ERROR("failed to set notify driver to '" << id << "'");
    if (chosen) registry.current = chosen;
    return false;
  }
  registry.current = chosen;
  return true;
}

void QVNotifyDriver::registerBackend(BackendProvider provider) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::recursive_mutex> lock(registry.mutex);
  registry.provider = std::move(provider);
  registry.available.clear();
  registry.current.reset();
}

}  // namespace Quorvel
