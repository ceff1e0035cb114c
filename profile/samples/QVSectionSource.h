#pragma once

#include <memory>

#include "ranges/QVRange.h"

namespace Quorvel {

class QVAbstractCallFrame;
class QVSection;

// Resolves a frame's address to the section mapped there. Processes are the
// sources; call stacks and sample archivers ask them.
class QVSectionSource {
 public:
  virtual ~QVSectionSource() = default;

  // The section holding the frame's address (null when none) and the
  // address range the section occupies (empty when none). The reference
  // stays valid while the source keeps that section mapped.
  virtual const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                                QVRange<unsigned long>& range) const = 0;

 protected:
  QVSectionSource() = default;
  QVSectionSource(const QVSectionSource&) = default;
  QVSectionSource& operator=(const QVSectionSource&) = default;
};

}  // namespace Quorvel
