#pragma once

#include <cstdint>
#include <vector>

#include "archivers/QVSampleArchiver.h"
#include "archivers/QVSampleIdentifiers.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractSystemCallTenure.h"

namespace Quorvel {

// The archiver of a recording's traced system calls.
class QVAbstractSystemCallTenureArchiver : public QVSampleArchiver<QVAbstractSystemCallTenure> {
 public:
  QVAbstractSystemCallTenureArchiver();
  ~QVAbstractSystemCallTenureArchiver() override;

  // As for call-stack samples: contexts with what they bring, then the
  // symbols of the callers' frames.
  virtual void getIdentifiers(QVSampleIdentifiers& ids) const;
  // Stores one call; addresses are the caller's frames, innermost first.
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick, int number,
                       const std::vector<uint64_t>& addresses) = 0;
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, QVSampleIdentifiers& ids) const;
  // Frames without a source of their own resolve through the calling
  // process, as the recorded calls are made in user mode.
  virtual void _getCallFrameIdentifiers(QVSampleIdentifiers& ids) const;
};

}  // namespace Quorvel
