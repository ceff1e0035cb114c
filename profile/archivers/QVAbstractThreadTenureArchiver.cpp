#include "archivers/QVAbstractThreadTenureArchiver.h"

namespace Quorvel {

QVAbstractThreadTenureArchiver::QVAbstractThreadTenureArchiver() = default;

QVAbstractThreadTenureArchiver::~QVAbstractThreadTenureArchiver() = default;

void QVAbstractThreadTenureArchiver::getIdentifiers(QVSampleIdentifiers& ids) const {
  ids.addContexts(samples(), [this, &ids](const QVModuleId& moduleId) { _getModuleIdentifiers(moduleId, ids); });
}

void QVAbstractThreadTenureArchiver::_getModuleIdentifiers(const QVModuleId& moduleId,
                                                           QVSampleIdentifiers& ids) const {
  ids.addModule(moduleId);
}

}  // namespace Quorvel
