#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "QVAbstractCallStackTenure.h"
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

// The archiver of a recording's call-stack samples. Samplers hand it one
// stack at a time; the session data keep it and write it.
class QVAbstractCallStackTenureArchiver : public QVSampleArchiver<QVAbstractCallStackTenure> {
 public:
  QVAbstractCallStackTenureArchiver();
  ~QVAbstractCallStackTenureArchiver() override;

  // Adds to the sets what the samples refer to: for each sample whose
  // context is new, the context, its thread, process and system and their
  // modules with their sections; then the symbol of every frame and the
  // symbol's source files.
  virtual void getIdentifiers(std::unordered_set<QVSystemId>& systemIds, std::unordered_set<QVProcessId>& processIds,
                              std::unordered_set<QVThreadId>& threadIds, std::unordered_set<QVContext>& contexts,
                              std::unordered_set<QVModuleId>& moduleIds, std::unordered_set<QVSectionId>& sectionIds,
                              std::unordered_set<QVSymbolId>& symbolIds,
                              std::unordered_set<QVFileId>& sourceFileIds) const;
  // Stores one sample; addresses[0] is the innermost frame.
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                       const std::vector<uint64_t>& addresses) = 0;
  // Adds the module id and, the first time, its sections' ids.
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, std::unordered_set<QVModuleId>& moduleIds,
                                     std::unordered_set<QVSectionId>& sectionIds) const;
  // Adds the symbol of every frame of every sample and its source files.
  virtual void _getCallFrameIdentifiers(std::unordered_set<QVSymbolId>& symbolIds,
                                        std::unordered_set<QVFileId>& sourceFileIds) const;
};

}  // namespace Quorvel
