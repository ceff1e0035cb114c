#pragma once

#include <optional>

#include "data/QVPropertyMap.h"
#include "metrics/QVMetricInfo.h"

namespace Quorvel {

// The views of a metric between two passes: the value itself, its change,
// and its change as a share of the elapsed time.
//
// Integer counters that go backwards are taken to have wrapped: at 2^32
// when the earlier value fitted in 32 bits (the kernel's unsigned long
// counters on 32-bit machines and some network drivers), else at 2^64.
// Time values that go backwards (a reset) give no change rather than a huge
// one.
class QVMetricDelta {
 public:
  // The value for the view; nothing when the current map lacks the metric,
  // or a delta view lacks the earlier value or a positive elapsed time.
  // shareDivisor divides percentages of time: the processor count for the
  // machine-wide times, which add up over all processors.
  static std::optional<double> view(const QVMetricInfo& info, QVMetricInfo::QVMetricView view,
                                    const QVPropertyMap* previous, const QVPropertyMap& current,
                                    double elapsedSeconds, double shareDivisor = 1.0);

  // The change of one counter between two readings, wraps included.
  static uint64_t counterChange(uint64_t previous, uint64_t current);

  // Whether the metric's values are floats (times, averages) rather than
  // integers.
  static bool isFloat(const QVMetricInfo& info);

  QVMetricDelta() = delete;
};

}  // namespace Quorvel
