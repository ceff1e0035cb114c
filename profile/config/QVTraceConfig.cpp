#include "config/QVTraceConfig.h"

#include <ostream>
#include <string>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

const QVTraceConfig& Dereference(const QVTraceConfig* other, const char* kind) {
  if (other == nullptr) {
    throw QVException(std::string("cannot copy a null ") + kind + " trace configuration", __LINE__, __FILE__);
  }
  return *other;
}

}  // namespace

QVTraceConfig::QVTraceConfig(const char* name) : QVConfig(name, "") {}

QVTraceConfig::QVTraceConfig(const QVTraceConfig* other, const char* kind) : QVTraceConfig(Dereference(other, kind)) {}

void QVTraceConfig::getDescription(std::ostream& os) const { os << (enabled_ ? "enabled" : "disabled"); }

void QVTraceConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeBool(enabled_, "Enable");
}

void QVTraceConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  unarchiver->decodeBool("Enable", enabled_);
}

bool operator==(const QVTraceConfig& a, const QVTraceConfig& b) { return a.isEnabled() == b.isEnabled(); }
bool operator!=(const QVTraceConfig& a, const QVTraceConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVTraceConfig& config) {
  config.getDescription(os);
  return os;
}

}  // namespace Quorvel
