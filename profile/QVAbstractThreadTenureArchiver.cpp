#include "QVAbstractThreadTenureArchiver.h"

#include "QVSampleIdentifiers.h"

namespace Quorvel {

QVAbstractThreadTenureArchiver::QVAbstractThreadTenureArchiver() = default;

QVAbstractThreadTenureArchiver::~QVAbstractThreadTenureArchiver() = default;

void QVAbstractThreadTenureArchiver::getIdentifiers(
    std::unordered_set<QVSystemId>& systemIds, std::unordered_set<QVProcessId>& processIds,
    std::unordered_set<QVThreadId>& threadIds, std::unordered_set<QVContext>& contexts,
    std::unordered_set<QVModuleId>& moduleIds, std::unordered_set<QVSectionId>& sectionIds,
    std::unordered_set<QVSymbolId>& /*symbolIds*/, std::unordered_set<QVFileId>& /*sourceFileIds*/) const {
  const QVSampleIdentifiers::ModuleAdder addModule = [this, &moduleIds, &sectionIds](const QVModuleId& moduleId) {
    _getModuleIdentifiers(moduleId, moduleIds, sectionIds);
  };
  for (const SamplePtr& sample : samples()) {
    QVSampleIdentifiers::addContext(sample->context(), systemIds, processIds, threadIds, contexts, addModule);
  }
}

void QVAbstractThreadTenureArchiver::_getModuleIdentifiers(const QVModuleId& moduleId,
                                                           std::unordered_set<QVModuleId>& moduleIds,
                                                           std::unordered_set<QVSectionId>& sectionIds) const {
  QVSampleIdentifiers::addModule(moduleId, moduleIds, sectionIds);
}

}  // namespace Quorvel
