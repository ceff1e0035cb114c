#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/QVPerfMonEventId.h"
#include "drivers/QVProfileDriver.h"

namespace Quorvel {

// The profile driver that records through the perf command-line tool. It
// decides whether perf can record here (tool present and working, kernel
// support configured, kernel recent enough), mounts debugfs for the
// tracepoint formats, and loads the hardware and software events that the
// installed perf lists, mapping the library's generic processor events onto
// perf's names. One process-wide instance (defaultDriver()), registered with
// the driver registry.
class QVProfileDriverLinuxPerf : public QVProfileDriver {
 public:
  // perf's names for each generic event, in the order they are looked for.
  struct Alias {
    const QVPerfMonEventId* generic;
    std::vector<std::string> perfNames;
  };
  static const std::vector<Alias>& aliases();

  static std::shared_ptr<QVProfileDriverLinuxPerf> defaultDriver();

  explicit QVProfileDriverLinuxPerf(const std::string& identifier);

  bool isAvailable() const override;
  bool load(const std::vector<std::string>& args) override;
  bool init() override;
  bool setup() override;
  bool shutdown() override;
  bool unload() override;
  bool isLoaded() const override;
  void getEnvironmentErrors(QVErrorManager& errors, bool append) const override;
  // The "timer" trigger counts cpu-cycles, which machines without a
  // hardware PMU (most virtual machines) do not offer: it is reported as not
  // available before perf is ever started.
  void getConfigErrors(QVErrorManager& errors, bool append) const override;

  virtual const std::string& perfBinaryPath() const { return perfBinaryPath_; }
  virtual bool isFilterSupported() const { return filterSupported_; }
  virtual bool needsForceOverwriteFlag() const { return forceOverwriteFlagNeeded_; }
  // The event the call-stack sample process counts for an "event" trigger:
  // the configured event, with generic events replaced by perf's own name
  // (empty when perf lists none for it).
  virtual QVPerfMonEventId triggerEvent() const;

  // The perf event that stands for a generic event; empty when none.
  const QVPerfMonEventId& perfEventFor(const QVPerfMonEventId& generic) const;

  // Whether a /proc/mounts text lists a debugfs mount, wherever it is.
  static bool isDebugfsMountedIn(const std::string& mountsText);
  // Reads `perf list` output: hardware, hardware cache and software events
  // (name, kind). Other kinds and unparseable lines are skipped.
  static std::vector<QVPerfMonEventId> parseEventList(const std::string& listing);

 private:
  bool _isDebugfsMounted() const;
  bool _mountDebugfs() const;
  bool _loadEvents();

  std::string perfBinaryPath_;
  bool filterSupported_ = false;
  bool forceOverwriteFlagNeeded_ = false;
  QVPerfMonEventId perfEvents_[5];  // in the order of aliases()
  bool loaded_ = false;
  bool initialized_ = false;
};

}  // namespace Quorvel
