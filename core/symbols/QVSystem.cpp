#include "symbols/QVSystem.h"

#include <mutex>
#include <ostream>
#include <unordered_map>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<QVSystemId, std::shared_ptr<QVSystem>> systems;
};

Registry& SharedRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

}  // namespace

QVSystem::QVSystem(const QVSystemId& systemId, const std::string& name, QVArchitecture architecture,
                   QVProcessor processorType, unsigned processorCount, const std::string& kernelRelease)
    : systemId_(systemId),
      name_(name),
      architecture_(architecture),
      processorType_(processorType),
      processorCount_(processorCount),
      kernelRelease_(kernelRelease) {}

std::shared_ptr<QVSystem> QVSystem::currentSystem() {
  const QVSystemId id = QVSystemId::currentSystemId();
  if (std::shared_ptr<QVSystem> registered = systemWithId(id)) {
    return registered;
  }
  return registerSystem(std::make_shared<QVSystem>(id, id.name(), LocalMachineArchitecture(),
                                                   LocalMachineProcessorType(), LocalMachineProcessorCount(),
                                                   LocalMachineKernelVersion()));
}

std::shared_ptr<QVSystem> QVSystem::registerSystem(const std::shared_ptr<QVSystem>& system) {
  if (!system || !system->systemId().isValid()) {
    return std::shared_ptr<QVSystem>();
  }
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  return registry.systems.emplace(system->systemId(), system).first->second;
}

std::shared_ptr<QVSystem> QVSystem::systemWithId(const QVSystemId& systemId) {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.systems.find(systemId);
  return found != registry.systems.end() ? found->second : std::shared_ptr<QVSystem>();
}

void QVSystem::flushRegisteredSystems() {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.systems.clear();
}

void QVSystem::getDescription(std::ostream& os) const {
  os << name_ << " (" << ArchitectureToString(architecture_) << ", " << processorCount_ << " x "
     << ProcessorToString(processorType_) << ", Linux " << kernelRelease_ << ")";
}

void QVSystem::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(systemId_, "SystemId");
  archiver->encodeString(name_, "Name");
  archiver->encodeString(ArchitectureToString(architecture_), "Arch");
  archiver->encodeString(ProcessorToString(processorType_), "ProcessorType");
  archiver->encodeSigned(processorCount_, "ProcessorCount");
  archiver->encodeString(kernelRelease_, "KernelRelease");
}

void QVSystem::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVSystemId> systemId;
  unarchiver->decodeObjectForKey("SystemId", systemId);
  systemId_ = *systemId;
  unarchiver->decodeString("Name", name_);
  std::string text;
  unarchiver->decodeString("Arch", text);
  architecture_ = ArchitectureFromString(text);
  unarchiver->decodeString("ProcessorType", text);
  processorType_ = ProcessorFromString(text);
  const int64_t count = unarchiver->decodeSigned("ProcessorCount");
  processorCount_ = count > 0 ? static_cast<unsigned>(count) : 0;
  unarchiver->decodeString("KernelRelease", kernelRelease_);
}

std::ostream& operator<<(std::ostream& os, const QVSystem& system) {
  system.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystem>& system) {
  if (system) {
    system->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
