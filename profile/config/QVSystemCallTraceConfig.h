#pragma once

#include <memory>

#include "config/QVTraceConfig.h"

namespace Quorvel {

// Whether system calls (entry, exit and the caller's stack) are traced.
// Named "System Call Trace Config".
class QVSystemCallTraceConfig : public QVTraceConfig {
 public:
  // The argument is accepted for symmetry with the other sub-configurations
  // and ignored; a trace has no rate of its own.
  explicit QVSystemCallTraceConfig(double = 0.0) : QVTraceConfig("System Call Trace Config") {}
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVSystemCallTraceConfig(const std::shared_ptr<QVSystemCallTraceConfig>& other)
      : QVTraceConfig(other.get(), "system call") {}
};

}  // namespace Quorvel
