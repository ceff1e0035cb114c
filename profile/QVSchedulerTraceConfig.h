#pragma once

#include <iosfwd>
#include <memory>

#include "QVConfig.h"

namespace Quorvel {

// Whether thread scheduling (switches, wake-ups, migrations) is traced
// alongside the samples.
// Named "Scheduler Trace Config"; archive key "Enable"; format 0.1.
class QVSchedulerTraceConfig : public QVConfig {
 public:
  // The argument is accepted for symmetry with the other sub-configurations
  // and ignored; a trace has no rate of its own. Starts disabled.
  explicit QVSchedulerTraceConfig(double = 0.0);
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVSchedulerTraceConfig(const std::shared_ptr<QVSchedulerTraceConfig>& other);
  QVSchedulerTraceConfig(const QVSchedulerTraceConfig&) = default;
  QVSchedulerTraceConfig& operator=(const QVSchedulerTraceConfig&) = default;

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
bool operator==(const QVSchedulerTraceConfig& a, const QVSchedulerTraceConfig& b);
bool operator!=(const QVSchedulerTraceConfig& a, const QVSchedulerTraceConfig& b);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVSchedulerTraceConfig& config);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSchedulerTraceConfig>& config);

}  // namespace Quorvel
