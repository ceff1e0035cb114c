#pragma once

#include <string>
#include <vector>

#include "export/QVFoldedStacks.h"

namespace Quorvel {

// How the functions of two sessions compare: each function's self and
// total share of its session's samples in both, and the change. Shares
// make sessions of different lengths comparable.
class QVProfileDiff {
 public:
  struct Row {
    std::string function;
    double baseSelf = 0.0;  // percent of the base session's samples
    double baseTotal = 0.0;
    double newSelf = 0.0;  // percent of the new session's samples
    double newTotal = 0.0;
    bool appears = false;   // only in the new session
    bool vanishes = false;  // only in the base session

    double selfChange() const { return newSelf - baseSelf; }
    double totalChange() const { return newTotal - baseTotal; }
    // The larger of the two changes, by size.
    double change() const;
  };

  // Rows of functions whose total share reaches minPercent in either
  // session, largest change first; equal changes in function name order.
  static std::vector<Row> compare(const QVFoldedStacks& base, const QVFoldedStacks& next, double minPercent);
};

}  // namespace Quorvel
