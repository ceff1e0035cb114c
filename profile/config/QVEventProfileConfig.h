#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <unordered_set>
#include <vector>

#include "config/QVPerfMonEventId.h"
#include "data/QVConfig.h"
#include "system/QVMachine.h"

namespace Quorvel {

// What an event-triggered recording counts: a sample after every
// triggerCount occurrences of triggerEvent on a processor model, plus
// further events that are only counted. Named "Event Profile Config"; format
// 0.1. Archive keys "Processor" (ProcessorToString text), "TriggerEventId"
// (object), "TriggerCount" ("0x%llx" text) and the list "CounterEventIds" of
// "EventId" objects, written in identifier order so documents are stable.
class QVEventProfileConfig : public QVConfig {
 public:
  using EventSet = std::unordered_set<QVPerfMonEventId>;

  // The processor model the events belong to; QVProcessorUnknown when any.
  QVProcessor processor = QVProcessorUnknown;
  QVPerfMonEventId triggerEvent;
  // Occurrences of triggerEvent between two samples.
  uint64_t triggerCount = 0;
  EventSet counterEvents;

  QVEventProfileConfig();
  // A copy owned by nobody else; a null source raises QVException.
  explicit QVEventProfileConfig(const std::shared_ptr<QVEventProfileConfig>& other);
  QVEventProfileConfig(const QVEventProfileConfig&) = default;
  QVEventProfileConfig& operator=(const QVEventProfileConfig&) = default;

  // Each answers true: the configuration accepts any event, and drivers
  // decide later whether the machine offers it.
  bool setTriggerEvent(const QVPerfMonEventId& event, uint64_t count);
  bool setTriggerCount(uint64_t count);
  bool addCounterEvent(const QVPerfMonEventId& event);
  // Removes the event when present. Answers false whatever happened, as
  // callers of this interface have always been told; test membership in
  // counterEvents to learn whether it was there.
  bool removeCounterEvent(const QVPerfMonEventId& event);

  // The counter events sorted by identifier: the order in which they are
  // written and described.
  std::vector<QVPerfMonEventId> sortedCounterEvents() const;

  // "cpu: " processor " triggerEvent: " event " triggerCount: " count, then
  // " counterEvent: " event for each counter event in identifier order.
  void getDescription(std::ostream& os) const;

  int getCurrentMajorVersion() const override { return 0; }
  int getCurrentMinorVersion() const override { return 1; }
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
};

// Same processor, trigger event identifier and count, and the same set of
// counter events.
bool operator==(const QVEventProfileConfig& a, const QVEventProfileConfig& b);
bool operator!=(const QVEventProfileConfig& a, const QVEventProfileConfig& b);

// Both forward to getDescription; a null pointer prints nothing.
std::ostream& operator<<(std::ostream& os, const QVEventProfileConfig& config);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVEventProfileConfig>& config);

}  // namespace Quorvel
