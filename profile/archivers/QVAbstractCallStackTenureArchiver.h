#pragma once

#include <cstdint>
#include <vector>

#include "archivers/QVSampleArchiver.h"
#include "archivers/QVSampleIdentifiers.h"
#include "ids/QVContext.h"
#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

// The archiver of a recording's call-stack samples. Samplers hand it one
// stack at a time; the session data keep it and write it.
class QVAbstractCallStackTenureArchiver : public QVSampleArchiver<QVAbstractCallStackTenure> {
 public:
  QVAbstractCallStackTenureArchiver();
  ~QVAbstractCallStackTenureArchiver() override;

  // The key a session stores these samples under: each format has its own,
  // so a reader knows which archiver to decode them with.
  virtual const char* sessionKey() const = 0;
  // Adds to the sets what the samples refer to: for each sample whose
  // context is new, the context, its thread, process and system and their
  // modules with their sections; then the symbol of every frame and the
  // symbol's source files.
  virtual void getIdentifiers(QVSampleIdentifiers& ids) const;
  // Stores one sample; addresses[0] is the innermost frame.
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                       const std::vector<uint64_t>& addresses) = 0;
  // The same, with what the scheduler said of the thread (see
  // QVAbstractCallStackTenure::schedulerState and cpuTimeNanos); archivers
  // that cannot keep it store the sample alone.
  virtual void archive(const QVContext& context, const uint64_t& beginTick, const uint64_t& endTick,
                       const std::vector<uint64_t>& addresses, char schedulerState, int64_t cpuTimeNanos) {
    (void)schedulerState;
    (void)cpuTimeNanos;
    archive(context, beginTick, endTick, addresses);
  }
  // Adds the module id and, the first time, its sections' ids.
  virtual void _getModuleIdentifiers(const QVModuleId& moduleId, QVSampleIdentifiers& ids) const;
  // Adds the symbol of every frame of every sample and its source files.
  virtual void _getCallFrameIdentifiers(QVSampleIdentifiers& ids) const;
};

}  // namespace Quorvel
