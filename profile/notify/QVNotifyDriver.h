#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "base/QVErrorManager.h"
#include "base/QVErrorMessageProvider.h"

namespace Quorvel {

/// A driver that reports task exits during a recording, so that samples of
/// tasks gone before the library could look at them can still be attributed.
/// The base has no back-end: every lifecycle operation answers false, which
/// makes a plain driver the stand-in for "no notification available".
///
/// The registry works as the profile drivers' does, with one candidate: the
/// platform registers a provider of its process-wide driver at library load.
///
/// Archive keys, in order: "Identifier", "Name", "BufferSize",
/// "BufferWatershed" (numbers as "0x%llx" text).
class QVNotifyDriver : public QVArchivable, public QVUnarchivable, public QVErrorMessageProvider {
 public:
  inline static const std::string QV_NOTIFY_DRIVER_ID_UNKNOWN{"notify.driver.unknown"};
  inline static const std::string QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY{"notify.driver.linux.qvnotify"};

  /// Set when "QV_DEBUG_QVNOTIFY_DRIVER" is present at library load.
  static bool debug_;

  using BackendProvider = std::function<std::shared_ptr<QVNotifyDriver>()>;

  /// The name belongs to the identifier: "qvnotify", else "unknown".
  explicit QVNotifyDriver(const std::string& identifier);
  ~QVNotifyDriver() override;
  QVNotifyDriver(const QVNotifyDriver&) = delete;
  QVNotifyDriver& operator=(const QVNotifyDriver&) = delete;

  virtual bool isAvailable() const;
  virtual bool load(const std::vector<std::string>& args);
  virtual bool init();
  virtual bool setup();
  virtual bool shutdown();
  virtual bool unload();
  virtual bool isLoaded() const;
  /// The base proposes zeros.
  virtual void getDefaultBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const;
  virtual void setBufferConfig(uint64_t bufferSize, uint64_t bufferWatershed);
  virtual void getBufferConfig(uint64_t& bufferSize, uint64_t& bufferWatershed) const;
  /// Clears unless append; QVNotifyDriverErrorNoDriver while not loaded.
  virtual void getEnvironmentErrors(QVErrorManager& errors, bool append) const;
  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  /// One line: the name and the buffer settings.
  virtual void getDescription(std::ostream& os) const;

  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }

  static std::string nameForIdentifier(const std::string& identifier);

  /// The drivers available here, filled on the first call; without the
  /// platform's driver, one plain driver with the unknown identifier.
  static std::vector<std::shared_ptr<QVNotifyDriver>> availableDrivers();
  static std::shared_ptr<QVNotifyDriver> defaultDriver();
  /// defaultDriver()'s identifier, or empty when there is none.
  static std::string defaultDriverId();
  /// Makes the available driver with this identifier the default (empty
  /// or unknown: the automatic choice) and loads it. False, with the log
  /// line "failed to set notify driver to '<id>'", when none has the id or
  /// its load fails.
  static bool setDefaultDriverId(const std::string& id);
  /// Installs (empty: removes) the platform driver's provider and empties
  /// the registry so that the next question fills it again.
  static void registerBackend(BackendProvider provider);

 protected:
  std::string identifier_;
  std::string name_;
  uint64_t bufferSize_ = 0;
  uint64_t bufferWatershed_ = 0;
};

}  // namespace Quorvel
