#include "notify/QVNotify.h"

#include <cstdlib>
#include <ostream>

#include "base/QVLog.h"
#include "notify/QVSupportContact.h"
#include "notify/QVNotificationIds.h"

namespace Quorvel {

bool QVNotify::notifyDebug_ = std::getenv("QV_NOTIFY_DEBUG") != nullptr;

namespace {

std::function<std::shared_ptr<QVNotify>()>& DefaultFactory() {
  static std::function<std::shared_ptr<QVNotify>()> factory;
  return factory;
}

}  // namespace

QVNotify::~QVNotify() = default;

std::shared_ptr<QVNotify>& QVNotify::defaultNotify() {
  static std::shared_ptr<QVNotify> notify;
  if (!notify && DefaultFactory()) {
    notify = DefaultFactory()();
  }
  return notify;
}

void QVNotify::setDefaultNotifyFactory(std::function<std::shared_ptr<QVNotify>()> factory) {
  DefaultFactory() = std::move(factory);
}

bool QVNotify::getErrorMessage(std::ostream& /*os*/, const std::string& id) const {
  if (id.find("Error") == std::string::npos) {
    QV_ERROR("invalid error id: " << id);
  }
  return false;
}

bool QVNotify::getWarningMessage(std::ostream& os, const std::string& id) const {
  if (id.find("Warning") == std::string::npos) {
    QV_ERROR("invalid warning id: " << id);
  }
  if (id == QVNotifyWarningBufferOverflow) {
    os << "Process exit notification driver buffer overflow detected - symbol " << std::endl
       << "information may be incomplete. Please try sampling again or increase " << std::endl
       << "the size of the notify driver task exit buffer.";
    return true;
  }
  if (id == QVNotifyWarningBufferCorrupt) {
    os << "Process exit notification driver buffer corruption detected - symbol " << std::endl
       << "information may be incomplete. Please submit a bug report or email " << std::endl
       << kQVSupportContact;
    return true;
  }
  return false;
}

bool QVNotify::isActive() const { return active_; }

void QVNotify::getSessionErrors(QVErrorManager& out, bool append) const {
  if (!append) {
    out.clear();
  }
  out += errors_;
}

}  // namespace Quorvel
