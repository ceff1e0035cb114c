#include "QVSchedulerTraceConfig.h"

#include <ostream>

#include "QVArchiver.h"
#include "QVException.h"
#include "QVUnarchiver.h"

namespace Quorvel {

namespace {

const QVSchedulerTraceConfig& Dereference(const std::shared_ptr<QVSchedulerTraceConfig>& other) {
  if (!other) {
    throw QVException("cannot copy a null scheduler trace configuration", __LINE__, __FILE__);
  }
  return *other;
}

}  // namespace

QVSchedulerTraceConfig::QVSchedulerTraceConfig(double) : QVConfig("Scheduler Trace Config", "") {}

QVSchedulerTraceConfig::QVSchedulerTraceConfig(const std::shared_ptr<QVSchedulerTraceConfig>& other) : QVSchedulerTraceConfig(Dereference(other)) {}

void QVSchedulerTraceConfig::getDescription(std::ostream& os) const { os << (enabled_ ? "enabled" : "disabled"); }

void QVSchedulerTraceConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeBool(enabled_, "Enable");
}

void QVSchedulerTraceConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  unarchiver->decodeBool("Enable", enabled_);
}

bool operator==(const QVSchedulerTraceConfig& a, const QVSchedulerTraceConfig& b) { return a.isEnabled() == b.isEnabled(); }
bool operator!=(const QVSchedulerTraceConfig& a, const QVSchedulerTraceConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVSchedulerTraceConfig& config) {
  config.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSchedulerTraceConfig>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
