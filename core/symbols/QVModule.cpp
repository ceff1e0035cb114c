#include "symbols/QVModule.h"

#include <algorithm>
#include <ostream>
#include <sstream>
#include <unordered_map>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "symbols/QVSection.h"

namespace Quorvel {

namespace {

struct Registry {
  std::mutex mutex;
  std::unordered_map<QVModuleId, std::shared_ptr<QVModule>> modules;
};

Registry& SharedRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

const std::shared_ptr<QVModule> kNoModule;
const std::shared_ptr<QVSection> kNoSection;

}  // namespace

QVModule::QVModule() = default;

QVModule::QVModule(const QVModuleId& moduleId, const std::string& path, uint64_t offset, const std::string& name)
    : moduleId_(moduleId), path_(path), offset_(offset), name_(name) {}

QVModule::~QVModule() = default;

void QVModule::setSections(const std::vector<std::shared_ptr<QVSection>>& sections) {
  std::lock_guard<std::mutex> lock(sectionsMutex_);
  sections_ = sections;
}

std::vector<std::shared_ptr<QVSection>> QVModule::sections() const {
  std::lock_guard<std::mutex> lock(sectionsMutex_);
  return sections_;
}

const std::shared_ptr<QVSection>& QVModule::sectionWithId(const QVSectionId& sectionId) const {
  std::lock_guard<std::mutex> lock(sectionsMutex_);
  for (const std::shared_ptr<QVSection>& section : sections_) {
    if (section && section->sectionId() == sectionId) {
      return section;
    }
  }
  return kNoSection;
}

uint64_t QVModule::baseAddress() const {
  if (hasDecodedBase_) {
    return decodedBase_;
  }
  std::lock_guard<std::mutex> lock(sectionsMutex_);
  bool found = false;
  uint64_t lowest = 0;
  for (const std::shared_ptr<QVSection>& section : sections_) {
    if (!section || section->addressRange().isEmpty() ||
        (section->attributes() & QVSection::kAttributeAllocated) == 0) {
      continue;
    }
    if (!found || section->addressRange().location < lowest) {
      lowest = section->addressRange().location;
      found = true;
    }
  }
  return lowest;
}

void QVModule::getDescription(std::ostream& os) const { os << name_ << " (" << path() << ")"; }

void QVModule::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(moduleId_, "ModuleId");
  archiver->encodeString(path(), "Path");
  archiver->encodeString(name_, "Name");
  archiver->encodeUnsigned(offset_, "Offset");
  archiver->encodeUnsigned(baseAddress(), "BaseAddress");
  const std::vector<std::shared_ptr<QVSection>> sections = this->sections();
  archiver->beginList("Sections");
  for (const std::shared_ptr<QVSection>& section : sections) {
    if (section) {
      archiver->encodeObject(*section, "Section");
    }
  }
  archiver->endList("Sections");
}

void QVModule::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::shared_ptr<QVModuleId> moduleId;
  unarchiver->decodeObjectForKey("ModuleId", moduleId);
  moduleId_ = *moduleId;
  unarchiver->decodeString("Path", path_);
  unarchiver->decodeString("Name", name_);
  offset_ = unarchiver->decodeUnsigned("Offset");
  decodedBase_ = unarchiver->decodeUnsigned("BaseAddress");
  hasDecodedBase_ = true;
  std::vector<std::shared_ptr<QVSection>> sections;
  unarchiver->enterElement("Sections");
  while (unarchiver->hasValueForKey("Section")) {
    std::shared_ptr<QVSection> section;
    unarchiver->decodeObjectForKey("Section", section);
    sections.push_back(section);
  }
  unarchiver->leaveElement("Sections");
  setSections(sections);
}

void QVModule::registerModule(const std::shared_ptr<QVModule>& module) {
  if (!module || !module->moduleId().isValid()) {
    throw QVException("invalid module id", __LINE__, __FILE__);
  }
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto inserted = registry.modules.emplace(module->moduleId(), module);
  if (!inserted.second && inserted.first->second != module) {
    std::ostringstream message;
    message << "duplicate module id: " << module->moduleId();
    throw QVException(message.str(), __LINE__, __FILE__);
  }
}

const std::shared_ptr<QVModule>& QVModule::moduleWithId(const QVModuleId& moduleId) {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = registry.modules.find(moduleId);
  return found != registry.modules.end() ? found->second : kNoModule;
}

void QVModule::getRegisteredModules(std::vector<std::shared_ptr<QVModule>>& modules) {
  modules.clear();
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  modules.reserve(registry.modules.size());
  for (const auto& entry : registry.modules) {
    modules.push_back(entry.second);
  }
  // Hash order differs between runs; callers list these to people.
  std::sort(modules.begin(), modules.end(),
            [](const std::shared_ptr<QVModule>& a, const std::shared_ptr<QVModule>& b) {
              return a->moduleId() < b->moduleId();
            });
}

void QVModule::flushRegisteredModules() {
  Registry& registry = SharedRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.modules.clear();
}

std::ostream& operator<<(std::ostream& os, const QVModule& module) {
  module.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVModule>& module) {
  if (module) {
    module->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
