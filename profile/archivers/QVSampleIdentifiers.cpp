#include "archivers/QVSampleIdentifiers.h"

#include <vector>

#include "base/QVLog.h"
#include "model/QVProcess.h"
#include "samples/QVAbstractCallFrame.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSymbolSourceMap.h"

namespace Quorvel {

namespace {

// Passes the module of every section mapped in the process to addModule.
void AddProcessModules(const QVProcess& process, const QVSampleIdentifiers::ModuleAdder& addModule) {
  QV_DEBUG("updating section map for process " << process.name() << " [" << process.processId() << "]");
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

}  // namespace

bool QVSampleIdentifiers::addContext(const QVContext& context, const ModuleAdder& addModule) {
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

void QVSampleIdentifiers::addModule(const QVModuleId& moduleId) {
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

void QVSampleIdentifiers::addFrame(const QVAbstractCallFrame& frame) {
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

bool operator==(const QVSampleIdentifiers& a, const QVSampleIdentifiers& b) {
  return a.systemIds == b.systemIds && a.processIds == b.processIds && a.threadIds == b.threadIds &&
         a.contexts == b.contexts && a.moduleIds == b.moduleIds && a.sectionIds == b.sectionIds &&
         a.symbolIds == b.symbolIds && a.sourceFileIds == b.sourceFileIds;
}

}  // namespace Quorvel
