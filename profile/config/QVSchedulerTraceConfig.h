#pragma once

#include <memory>

#include "config/QVTraceConfig.h"

namespace Quorvel {

// Whether thread scheduling (switches, wake-ups, migrations) is traced.
// Named "Scheduler Trace Config".
class QVSchedulerTraceConfig : public QVTraceConfig {
 public:
  // The argument is accepted for symmetry with the other sub-configurations
  // and ignored; a trace has no rate of its own.
  explicit QVSchedulerTraceConfig(double = 0.0) : QVTraceConfig("Scheduler Trace Config") {}
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVSchedulerTraceConfig(const std::shared_ptr<QVSchedulerTraceConfig>& other)
      : QVTraceConfig(other.get(), "scheduler") {}
};

}  // namespace Quorvel
