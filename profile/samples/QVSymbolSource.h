#pragma once

#include <memory>

#include "samples/QVSectionSource.h"

namespace Quorvel {

class QVSymbol;

// A section source that also resolves a frame to its symbol.
class QVSymbolSource : public QVSectionSource {
 public:
  // The symbol holding the frame's address (null when none) and the
  // symbol's absolute address range (empty when none).
  virtual const std::shared_ptr<QVSymbol>& symbolForCallFrame(const QVAbstractCallFrame& frame,
                                                              QVRange<unsigned long>& range) const = 0;
};

}  // namespace Quorvel
