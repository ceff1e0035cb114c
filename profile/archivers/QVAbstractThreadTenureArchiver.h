#pragma once

#include <cstdint>

#include "archivers/QVSampleArchiver.h"
#include "archivers/QVSampleIdentifiers.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractThreadTenure.h"

namespace Quorvel {

// The archiver of a recording's thread tenures (scheduler time slices).
class QVAbstractThreadTenureArchiver : public QVSampleArchiver<QVAbstractThreadTenure> {
 public:
  QVAbstractThreadTenureArchiver();
  ~QVAbstractThreadTenureArchiver() override;

  // For each tenure whose context is new: the context, its thread, process
  // and system and their modules with their sections. Tenures have no
  // frames, so no symbols are added.
  virtual void getIdentifiers(QVSampleIdentifiers& ids) const;
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                       QVAbstractThreadTenure::EndReason endReason, int priority) = 0;
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, QVSampleIdentifiers& ids) const;
};

}  // namespace Quorvel
