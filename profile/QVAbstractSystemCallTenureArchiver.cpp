#include "QVAbstractSystemCallTenureArchiver.h"

#include "QVAbstractCallFrame.h"
#include "QVCallStack.h"
#include "QVProcess.h"
#include "QVSampleIdentifiers.h"

namespace Quorvel {

QVAbstractSystemCallTenureArchiver::QVAbstractSystemCallTenureArchiver() = default;

QVAbstractSystemCallTenureArchiver::~QVAbstractSystemCallTenureArchiver() = default;

void QVAbstractSystemCallTenureArchiver::getIdentifiers(
    std::unordered_set<QVSystemId>& systemIds, std::unordered_set<QVProcessId>& processIds,
    std::unordered_set<QVThreadId>& threadIds, std::unordered_set<QVContext>& contexts,
    std::unordered_set<QVModuleId>& moduleIds, std::unordered_set<QVSectionId>& sectionIds,
    std::unordered_set<QVSymbolId>& symbolIds, std::unordered_set<QVFileId>& sourceFileIds) const {
  const QVSampleIdentifiers::ModuleAdder addModule = [this, &moduleIds, &sectionIds](const QVModuleId& moduleId) {
    _getModuleIdentifiers(moduleId, moduleIds, sectionIds);
  };
  for (const SamplePtr& sample : samples()) {
    QVSampleIdentifiers::addContext(sample->context(), systemIds, processIds, threadIds, contexts, addModule);
  }
  _getCallFrameIdentifiers(symbolIds, sourceFileIds);
}

void QVAbstractSystemCallTenureArchiver::_getModuleIdentifiers(const QVModuleId& moduleId,
                                                               std::unordered_set<QVModuleId>& moduleIds,
                                                               std::unordered_set<QVSectionId>& sectionIds) const {
  QVSampleIdentifiers::addModule(moduleId, moduleIds, sectionIds);
}

void QVAbstractSystemCallTenureArchiver::_getCallFrameIdentifiers(std::unordered_set<QVSymbolId>& symbolIds,
                                                                  std::unordered_set<QVFileId>& sourceFileIds) const {
  std::vector<uint64_t> addresses;
  std::vector<const QVAbstractCallFrame*> frames;
  QVCallStack resolved;
  for (const SamplePtr& sample : samples()) {
    const QVAbstractCallStack* stack = sample.get();
    if (sample->symbolSource() == nullptr) {
      const std::shared_ptr<QVProcess>& process =
          QVProcess::processWithId(sample->context().threadId().asProcessId(), false, false);
      if (!process) {
        continue;
      }
      // The tenure keeps no source of its own; resolve a copy of its frames
      // through the calling process instead of changing the sample.
      sample->getFrames(addresses);
      resolved.setFrames(addresses);
      resolved.setSymbolSource(process.get());
      stack = &resolved;
    }
    stack->getFrames(frames);
    for (const QVAbstractCallFrame* frame : frames) {
      QVSampleIdentifiers::addFrame(*frame, symbolIds, sourceFileIds);
    }
  }
}

}  // namespace Quorvel
