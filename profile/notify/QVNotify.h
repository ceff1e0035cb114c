#pragma once

#include <atomic>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"

namespace Quorvel {

// Watches for processes and threads that exit during a recording, so that
// samples of short-lived tasks can still be attributed. Implementations read
// a kernel driver's exit records; this base owns the state they share and
// answers the notifier's own warnings.
class QVNotify : public QVErrorMessageProvider {
 public:
  QVNotify() = default;
  ~QVNotify() override;
  QVNotify(const QVNotify&) = delete;
  QVNotify& operator=(const QVNotify&) = delete;

  // Answers nothing: logs "invalid error id: " for an id without "Error".
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  // Answers QVNotifyWarningBufferOverflow and QVNotifyWarningBufferCorrupt;
  // logs "invalid warning id: " for an id without "Warning".
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;

  virtual bool start() = 0;
  // Ends monitoring and takes in what was recorded.
  virtual bool stop() = 0;
  // Ends monitoring and drops what was recorded.
  virtual void abort() = 0;
  virtual bool isActive() const;
  // Clears out unless append, then adds the notifier's ids.
  virtual void getSessionErrors(QVErrorManager& out, bool append) const;

  // The process-wide notifier, made on the first call by the platform's
  // factory (null where the platform has none); it lives until unload. The
  // first call is made before other threads use it.
  static std::shared_ptr<QVNotify>& defaultNotify();
  // Installed by the platform at library load.
  static void setDefaultNotifyFactory(std::function<std::shared_ptr<QVNotify>()> factory);

  // Set when "QV_NOTIFY_DEBUG" is present at library load; a switch for
  // front ends, not read by the library itself.
  static bool notifyDebug_;

 protected:
  std::recursive_mutex mutex_;
  std::atomic<bool> active_{false};
  QVErrorManager errors_;
};

}  // namespace Quorvel
