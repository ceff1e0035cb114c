#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "samples/QVAbstractCallStack.h"
#include "samples/QVContextTenure.h"

namespace Quorvel {

class QVCallFrameTree;

// A call-stack sample: the stack of one context, taken over a span of ticks.
// Its description is the stack's.
class QVAbstractCallStackTenure : public QVContextTenure, public virtual QVAbstractCallStack {
 public:
  QVAbstractCallStackTenure();
  QVAbstractCallStackTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick);
  ~QVAbstractCallStackTenure() override;

  // The shared frame tree this stack lives in, with the descriptor of its
  // innermost frame in leafDescriptor (-1 for an empty stack); nullptr when
  // the stack holds frames of its own. Two stacks with the same tree and
  // descriptor have the same frames, which lets a reader of many samples
  // handle each distinct stack once.
  virtual const QVCallFrameTree* sharedFrameTree(int& leafDescriptor) const;

  // What the scheduler said of the sampled thread, where the sampler could
  // tell (older sessions and other samplers cannot): its state letter at
  // the sample as /proc shows it ('R' running or runnable, 'S' sleeping,
  // 'D' disk wait, 'T' stopped, ...; '\0' unknown), and the CPU time it
  // consumed since its previous sample, in nanoseconds (negative unknown).
  virtual char schedulerState() const { return '\0'; }
  virtual int64_t cpuTimeNanos() const { return -1; }
  // The state letter's name ("running", "sleeping", "disk", "stopped",
  // "traced", "zombie", "idle", "dead", "parked"); "unknown" for any other.
  static const char* schedulerStateName(char state);

 protected:
  QVAbstractCallStackTenure(const QVAbstractCallStackTenure&) = default;
  QVAbstractCallStackTenure& operator=(const QVAbstractCallStackTenure&) = default;
};

std::ostream& operator<<(std::ostream& os, const QVAbstractCallStackTenure& tenure);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractCallStackTenure>& tenure);

}  // namespace Quorvel
