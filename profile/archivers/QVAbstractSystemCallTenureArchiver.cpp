#include "archivers/QVAbstractSystemCallTenureArchiver.h"

#include "model/QVProcess.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVCallStack.h"

namespace Quorvel {

QVAbstractSystemCallTenureArchiver::QVAbstractSystemCallTenureArchiver() = default;

QVAbstractSystemCallTenureArchiver::~QVAbstractSystemCallTenureArchiver() = default;

void QVAbstractSystemCallTenureArchiver::getIdentifiers(QVSampleIdentifiers& ids) const {
  ids.addContexts(samples(), [this, &ids](const QVModuleId& moduleId) { _getModuleIdentifiers(moduleId, ids); });
  _getCallFrameIdentifiers(ids);
}

void QVAbstractSystemCallTenureArchiver::_getModuleIdentifiers(const QVModuleId& moduleId,
                                                               QVSampleIdentifiers& ids) const {
  ids.addModule(moduleId);
}

void QVAbstractSystemCallTenureArchiver::_getCallFrameIdentifiers(QVSampleIdentifiers& ids) const {
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
      ids.addFrame(*frame);
    }
  }
}

}  // namespace Quorvel
