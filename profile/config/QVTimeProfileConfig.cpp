#include "config/QVTimeProfileConfig.h"

#include <ostream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

const QVTimeProfileConfig& Dereference(const std::shared_ptr<QVTimeProfileConfig>& other) {
  if (!other) {
    throw QVException("cannot copy a null time profile configuration", __LINE__, __FILE__);
  }
  return *other;
}

}  // namespace

QVTimeProfileConfig::QVTimeProfileConfig(double interval)
    : QVConfig("Time Profile Config", ""), interval(interval) {}

QVTimeProfileConfig::QVTimeProfileConfig(const std::shared_ptr<QVTimeProfileConfig>& other)
    : QVTimeProfileConfig(Dereference(other)) {}

void QVTimeProfileConfig::getDescription(std::ostream& os) const { os << "interval: " << interval; }

void QVTimeProfileConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeDouble(interval, "Interval");
}

void QVTimeProfileConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  interval = unarchiver->decodeDouble("Interval");
  // Randomised intervals were dropped; documents of that time still carry
  // the setting.
  if (unarchiver->hasValueForKey("IntervalRandomization")) {
    unarchiver->skipValueForKey("IntervalRandomization");
  }
}

bool operator==(const QVTimeProfileConfig& a, const QVTimeProfileConfig& b) { return a.interval == b.interval; }
bool operator!=(const QVTimeProfileConfig& a, const QVTimeProfileConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVTimeProfileConfig& config) {
  config.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVTimeProfileConfig>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
