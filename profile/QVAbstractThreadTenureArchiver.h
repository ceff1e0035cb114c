#pragma once

#include <cstdint>
#include <unordered_set>

#include "QVAbstractThreadTenure.h"
#include "QVContext.h"
#include "QVFileId.h"
#include "QVModuleId.h"
#include "QVProcessId.h"
#include "QVSampleArchiver.h"
#include "QVSectionId.h"
#include "QVSymbolId.h"
#include "QVSystemId.h"
#include "QVThreadId.h"

namespace Quorvel {

// The archiver of a recording's thread tenures (scheduler time slices).
class QVAbstractThreadTenureArchiver : public QVSampleArchiver<QVAbstractThreadTenure> {
 public:
  QVAbstractThreadTenureArchiver();
  ~QVAbstractThreadTenureArchiver() override;

  // For each tenure whose context is new: the context, its thread, process
  // and system and their modules with their sections. Tenures have no
  // frames, so no symbols are added.
  virtual void getIdentifiers(std::unordered_set<QVSystemId>& systemIds, std::unordered_set<QVProcessId>& processIds,
                              std::unordered_set<QVThreadId>& threadIds, std::unordered_set<QVContext>& contexts,
                              std::unordered_set<QVModuleId>& moduleIds, std::unordered_set<QVSectionId>& sectionIds,
                              std::unordered_set<QVSymbolId>& symbolIds,
                              std::unordered_set<QVFileId>& sourceFileIds) const;
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                       QVAbstractThreadTenure::EndReason endReason, int priority) = 0;
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, std::unordered_set<QVModuleId>& moduleIds,
                                     std::unordered_set<QVSectionId>& sectionIds) const;
};

}  // namespace Quorvel
