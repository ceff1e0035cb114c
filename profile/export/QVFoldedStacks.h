#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "calltree/QVCallTree.h"

namespace Quorvel {

// Samples aggregated by their stacks of frame labels: the "folded" form
// that flame-graph tools read, and the per-function counts a session diff
// compares. Frames are labelled by QVFrameText::functionLabel, which holds
// no address, so the stacks of two recordings of one program line up.
//
// Built from the call tree (tree topology) of the samples, so a stack
// repeated a million times is labelled once. The walk is iterative: the
// depth of a stack comes from the session file.
class QVFoldedStacks {
 public:
  using TenureList = QVCallTree::TenureList;

  // The one frame of samples whose stack is empty, so that every sample is
  // counted somewhere.
  static const char* const NoFrames;  // "[no frames]"

  struct FunctionCount {
    uint64_t self = 0;   // samples taken in the function
    uint64_t total = 0;  // samples with the function anywhere on the stack
  };

  QVFoldedStacks(const TenureList& samples, QVCallTree::Granularity granularity);

  // Stacks outermost frame first, frames joined by ';', with their sample
  // counts, in byte order of the text.
  const std::map<std::string, uint64_t>& stacks() const { return stacks_; }
  // Per label; a recursive function counts once per sample in its total.
  const std::map<std::string, FunctionCount>& functions() const { return functions_; }
  // Every non-null sample given, those with empty stacks included.
  uint64_t sampleCount() const { return sampleCount_; }

  // One line per stack: "frame;frame;frame COUNT".
  void write(std::ostream& out) const;
  // One line per stack of either: "frame;frame BASE NEW", 0 where a stack
  // is missing: the two-column form of differential flame graphs.
  static void writeDifferential(std::ostream& out, const QVFoldedStacks& base, const QVFoldedStacks& next);

  // A label made safe for the folded form: ';' separates frames and a line
  // ends a stack, so ';' becomes ':' and line breaks become blanks.
  static std::string sanitizedLabel(std::string label);

 private:
  std::map<std::string, uint64_t> stacks_;
  std::map<std::string, FunctionCount> functions_;
  uint64_t sampleCount_ = 0;
};

}  // namespace Quorvel
