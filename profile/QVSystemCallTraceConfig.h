#pragma once

#include <iosfwd>
#include <memory>

#include "QVConfig.h"

namespace Quorvel {

// Whether system calls (entry, exit and the caller's stack) are traced
// alongside the samples.
// Named "System Call Trace Config"; archive key "Enable"; format 0.1.
class QVSystemCallTraceConfig : public QVConfig {
 public:
  // The argument is accepted for symmetry with the other sub-configurations
  // and ignored; a trace has no rate of its own. Starts disabled.
  explicit QVSystemCallTraceConfig(double = 0.0);
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVSystemCallTraceConfig(const std::shared_ptr<QVSystemCallTraceConfig>& other);
  QVSystemCallTraceConfig(const QVSystemCallTraceConfig&) = default;
  QVSystemCallTraceConfig& operator=(const QVSystemCallTraceConfig&) = default;

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

  // "enabled" or "disabled".
  void getDescription(std::ostream& os) const;

  int getCurrentMajorVersion() const override { return 0; }
  int getCurrentMinorVersion() const override { return 1; }
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  bool enabled_ = false;
};

// Equal enabled flags.
bool operator==(const QVSystemCallTraceConfig& a, const QVSystemCallTraceConfig& b);
bool operator!=(const QVSystemCallTraceConfig& a, const QVSystemCallTraceConfig& b);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVSystemCallTraceConfig& config);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystemCallTraceConfig>& config);

}  // namespace Quorvel
