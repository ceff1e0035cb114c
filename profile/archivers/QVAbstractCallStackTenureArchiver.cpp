#include "archivers/QVAbstractCallStackTenureArchiver.h"

#include "samples/QVAbstractCallFrame.h"

namespace Quorvel {

QVAbstractCallStackTenureArchiver::QVAbstractCallStackTenureArchiver() = default;

QVAbstractCallStackTenureArchiver::~QVAbstractCallStackTenureArchiver() = default;

void QVAbstractCallStackTenureArchiver::getIdentifiers(QVSampleIdentifiers& ids) const {
  ids.addContexts(samples(), [this, &ids](const QVModuleId& moduleId) { _getModuleIdentifiers(moduleId, ids); });
  _getCallFrameIdentifiers(ids);
}

void QVAbstractCallStackTenureArchiver::_getModuleIdentifiers(const QVModuleId& moduleId,
                                                              QVSampleIdentifiers& ids) const {
  ids.addModule(moduleId);
}

void QVAbstractCallStackTenureArchiver::_getCallFrameIdentifiers(QVSampleIdentifiers& ids) const {
  std::vector<const QVAbstractCallFrame*> frames;
  for (const SamplePtr& sample : samples()) {
    sample->getFrames(frames);
    for (const QVAbstractCallFrame* frame : frames) {
      ids.addFrame(*frame);
    }
  }
}

}  // namespace Quorvel
