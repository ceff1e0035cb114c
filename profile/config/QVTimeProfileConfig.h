#pragma once

#include <iosfwd>
#include <memory>

#include "data/QVConfig.h"

namespace Quorvel {

// How often a timer-triggered recording samples. Named "Time Profile
// Config"; archive key "Interval" (seconds, "%.10f" text); format 0.1.
class QVTimeProfileConfig : public QVConfig {
 public:
  // Seconds between two samples of one processor or thread.
  double interval;

  explicit QVTimeProfileConfig(double interval = 0.001);
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVTimeProfileConfig(const std::shared_ptr<QVTimeProfileConfig>& other);
  QVTimeProfileConfig(const QVTimeProfileConfig&) = default;
  QVTimeProfileConfig& operator=(const QVTimeProfileConfig&) = default;

  // "interval: " and the interval in seconds.
  void getDescription(std::ostream& os) const;

  int getCurrentMajorVersion() const override { return 0; }
  int getCurrentMinorVersion() const override { return 1; }
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

// Equal intervals (a NaN interval is never equal).
bool operator==(const QVTimeProfileConfig& a, const QVTimeProfileConfig& b);
bool operator!=(const QVTimeProfileConfig& a, const QVTimeProfileConfig& b);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVTimeProfileConfig& config);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVTimeProfileConfig>& config);

}  // namespace Quorvel
