#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "QVAbstractSystemCallTenure.h"
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

// The archiver of a recording's traced system calls.
class QVAbstractSystemCallTenureArchiver : public QVSampleArchiver<QVAbstractSystemCallTenure> {
 public:
  QVAbstractSystemCallTenureArchiver();
  ~QVAbstractSystemCallTenureArchiver() override;

  // As for call-stack samples: contexts with what they bring, then the
  // symbols of the callers' frames.
  virtual void getIdentifiers(std::unordered_set<QVSystemId>& systemIds, std::unordered_set<QVProcessId>& processIds,
                              std::unordered_set<QVThreadId>& threadIds, std::unordered_set<QVContext>& contexts,
                              std::unordered_set<QVModuleId>& moduleIds, std::unordered_set<QVSectionId>& sectionIds,
                              std::unordered_set<QVSymbolId>& symbolIds,
                              std::unordered_set<QVFileId>& sourceFileIds) const;
  // Stores one call; addresses are the caller's frames, innermost first.
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick, int number,
                       const std::vector<uint64_t>& addresses) = 0;
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, std::unordered_set<QVModuleId>& moduleIds,
                                     std::unordered_set<QVSectionId>& sectionIds) const;
  // Frames without a source of their own resolve through the calling
  // process, as the recorded calls are made in user mode.
  virtual void _getCallFrameIdentifiers(std::unordered_set<QVSymbolId>& symbolIds,
                                        std::unordered_set<QVFileId>& sourceFileIds) const;
};

}  // namespace Quorvel
