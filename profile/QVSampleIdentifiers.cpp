#include "QVSampleIdentifiers.h"

#include <vector>

#include "QVAbstractCallFrame.h"
#include "QVLog.h"
#include "QVModule.h"
#include "QVProcess.h"
#include "QVSection.h"
#include "QVSymbol.h"
#include "QVSymbolSourceMap.h"

namespace Quorvel {

namespace {

void AddProcessModules(const QVProcess& process, const QVSampleIdentifiers::ModuleAdder& addModule) {
  QV_DEBUG("updating section map for process " << process.name() << " [" << process.processId() << "]");
  QVSampleIdentifiers::addProcessModules(process, addModule);
}

}  // namespace

bool QVSampleIdentifiers::addContext(const QVContext& context, std::unordered_set<QVSystemId>& systemIds,
                                     std::unordered_set<QVProcessId>& processIds,
                                     std::unordered_set<QVThreadId>& threadIds,
                                     std::unordered_set<QVContext>& contexts, const ModuleAdder& addModule) {
  if (!contexts.insert(context).second) {
    return false;
  }
  const QVThreadId threadId = context.threadId();
  if (!threadId.isValid() || !threadIds.insert(threadId).second) {
    return true;
  }
  const QVProcessId processId = threadId.asProcessId();
  if (processIds.insert(processId).second) {
    if (const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(processId, false, true)) {
      AddProcessModules(*process, addModule);
    }
  }
  const QVSystemId systemId = threadId.asSystemId();
  if (systemIds.insert(systemId).second) {
    if (const std::shared_ptr<QVProcess> kernel = QVProcess::kernelProcessForSystem(systemId, false)) {
      AddProcessModules(*kernel, addModule);
    }
  }
  return true;
}

void QVSampleIdentifiers::addModule(const QVModuleId& moduleId, std::unordered_set<QVModuleId>& moduleIds,
                                    std::unordered_set<QVSectionId>& sectionIds) {
  if (!moduleIds.insert(moduleId).second) {
    return;
  }
  const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(moduleId);
  if (!module) {
    return;
  }
  for (const std::shared_ptr<QVSection>& section : module->sections()) {
    if (section) {
      sectionIds.insert(section->sectionId());
    }
  }
}

void QVSampleIdentifiers::addProcessModules(const QVProcess& process, const ModuleAdder& addModule) {
  std::vector<std::shared_ptr<QVSection>> sections;
  process.sectionMap().SWIG_getValues(sections);
  const QVSection* previous = nullptr;
  for (const std::shared_ptr<QVSection>& section : sections) {
    // A section split over several ranges appears once per range.
    if (!section || section.get() == previous) {
      continue;
    }
    previous = section.get();
    const QVModuleId moduleId = section->sectionId().asModuleId();
    if (moduleId.isValid()) {
      addModule(moduleId);
    }
  }
}

void QVSampleIdentifiers::addFrame(const QVAbstractCallFrame& frame, std::unordered_set<QVSymbolId>& symbolIds,
                                   std::unordered_set<QVFileId>& sourceFileIds) {
  QVRange<uint64_t> range;
  const std::shared_ptr<QVSymbol>& symbol = frame.symbol(range);
  if (!symbol || !symbolIds.insert(symbol->symbolId()).second) {
    return;
  }
  for (const auto& entry : symbol->sourceLocations().offsetTables()) {
    if (entry.first.isValid()) {
      sourceFileIds.insert(entry.first);
    }
  }
}

}  // namespace Quorvel
