#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Linux/perf/QVPerfTraceEventFormat.h"

namespace Quorvel {

// The tracepoint formats found under a tracing events directory, by id and
// by name, with the three that the perf recorder decodes. Formats that
// cannot be parsed are skipped with an ERROR line; a directory that cannot
// be walked keeps what was added before it. Missing tracepoints keep the id
// all ones, so that no record matches them.
class QVPerfTraceEventFormatTable {
 public:
  static constexpr std::uint64_t kNoEvent = ~0ull;

  void load(const std::string& eventsDirectory);
  // The formats that perf copied into a perf.data file (the tracing data
  // of its header), as (name for messages, format text) pairs: those of
  // the kernel that recorded it. A file holds only the tracepoints it
  // recorded, so missing ones are not reported.
  void loadTexts(const std::vector<std::pair<std::string, std::string>>& formats);

  std::shared_ptr<const QVPerfTraceEventFormat> formatWithId(std::uint64_t id) const;
  std::shared_ptr<const QVPerfTraceEventFormat> formatWithName(const std::string& name) const;
  std::size_t size() const { return byId_.size(); }

  const std::shared_ptr<const QVPerfTraceEventFormat>& schedSwitch() const { return schedSwitch_; }
  const std::shared_ptr<const QVPerfTraceEventFormat>& syscallEnter() const { return syscallEnter_; }
  const std::shared_ptr<const QVPerfTraceEventFormat>& syscallExit() const { return syscallExit_; }
  std::uint64_t schedSwitchId() const { return schedSwitchId_; }
  std::uint64_t syscallEnterId() const { return syscallEnterId_; }
  std::uint64_t syscallExitId() const { return syscallExitId_; }

  static bool debug_;

 private:
  void _recursiveAdd(const std::string& directory);
  void _add(const std::shared_ptr<const QVPerfTraceEventFormat>& format);
  void _findKnown(bool reportMissing);

  std::unordered_map<std::uint64_t, std::shared_ptr<const QVPerfTraceEventFormat>> byId_;
  std::unordered_map<std::string, std::shared_ptr<const QVPerfTraceEventFormat>> byName_;
  std::shared_ptr<const QVPerfTraceEventFormat> schedSwitch_, syscallEnter_, syscallExit_;
  std::uint64_t schedSwitchId_ = kNoEvent, syscallEnterId_ = kNoEvent, syscallExitId_ = kNoEvent;
};

}  // namespace Quorvel
