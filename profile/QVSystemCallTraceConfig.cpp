#include "QVSystemCallTraceConfig.h"

#include <ostream>

#include "QVArchiver.h"
#include "QVException.h"
#include "QVUnarchiver.h"

namespace Quorvel {

namespace {

const QVSystemCallTraceConfig& Dereference(const std::shared_ptr<QVSystemCallTraceConfig>& other) {
  if (!other) {
    throw QVException("cannot copy a null system call trace configuration", __LINE__, __FILE__);
  }
  return *other;
}

}  // namespace

QVSystemCallTraceConfig::QVSystemCallTraceConfig(double) : QVConfig("System Call Trace Config", "") {}

QVSystemCallTraceConfig::QVSystemCallTraceConfig(const std::shared_ptr<QVSystemCallTraceConfig>& other) : QVSystemCallTraceConfig(Dereference(other)) {}

void QVSystemCallTraceConfig::getDescription(std::ostream& os) const { os << (enabled_ ? "enabled" : "disabled"); }

void QVSystemCallTraceConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeBool(enabled_, "Enable");
}

void QVSystemCallTraceConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  unarchiver->decodeBool("Enable", enabled_);
}

bool operator==(const QVSystemCallTraceConfig& a, const QVSystemCallTraceConfig& b) { return a.isEnabled() == b.isEnabled(); }
bool operator!=(const QVSystemCallTraceConfig& a, const QVSystemCallTraceConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVSystemCallTraceConfig& config) {
  config.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystemCallTraceConfig>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
