#include "config/QVEventProfileConfig.h"

#include <algorithm>
#include <ostream>
#include <string>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"

namespace Quorvel {

namespace {

const QVEventProfileConfig& Dereference(const std::shared_ptr<QVEventProfileConfig>& other) {
  if (!other) {
    throw QVException("cannot copy a null event profile configuration", __LINE__, __FILE__);
  }
  return *other;
}

}  // namespace

QVEventProfileConfig::QVEventProfileConfig() : QVConfig("Event Profile Config", "") {}

QVEventProfileConfig::QVEventProfileConfig(const std::shared_ptr<QVEventProfileConfig>& other)
    : QVEventProfileConfig(Dereference(other)) {}

bool QVEventProfileConfig::setTriggerEvent(const QVPerfMonEventId& event, uint64_t count) {
  triggerEvent = event;
  triggerCount = count;
  return true;
}

bool QVEventProfileConfig::setTriggerCount(uint64_t count) {
  triggerCount = count;
  return true;
}

bool QVEventProfileConfig::addCounterEvent(const QVPerfMonEventId& event) {
  counterEvents.insert(event);
  return true;
}

bool QVEventProfileConfig::removeCounterEvent(const QVPerfMonEventId& event) {
  counterEvents.erase(event);
  return false;
}

std::vector<QVPerfMonEventId> QVEventProfileConfig::sortedCounterEvents() const {
  std::vector<QVPerfMonEventId> sorted(counterEvents.begin(), counterEvents.end());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

void QVEventProfileConfig::getDescription(std::ostream& os) const {
  os << "cpu: " << ProcessorToPrettyString(processor) << " triggerEvent: " << triggerEvent
     << " triggerCount: " << triggerCount;
  for (const QVPerfMonEventId& event : sortedCounterEvents()) {
    os << " counterEvent: " << event;
  }
}

void QVEventProfileConfig::encodeWithArchiver(QVArchiver* archiver) const {
  QVConfig::encodeWithArchiver(archiver);
  archiver->encodeString(ProcessorToString(processor), "Processor");
  archiver->encodeObject(triggerEvent, "TriggerEventId");
  archiver->encodeUnsigned(triggerCount, "TriggerCount");
  archiver->beginList("CounterEventIds");
  for (const QVPerfMonEventId& event : sortedCounterEvents()) {
    archiver->encodeObject(event, "EventId");
  }
  archiver->endList("CounterEventIds");
}

void QVEventProfileConfig::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  QVConfig::decodeWithUnarchiver(unarchiver);
  std::string processorText;
  unarchiver->decodeString("Processor", processorText);
  processor = ProcessorFromString(processorText);
  unarchiver->decodeObject("TriggerEventId", triggerEvent);
  triggerCount = unarchiver->decodeUnsigned("TriggerCount");

  // The document is the whole truth about the set; decoding into a used
  // object must not keep events it no longer names.
  counterEvents.clear();
  unarchiver->enterElement("CounterEventIds");
  std::string key;
  while (unarchiver->nextKey(key)) {
    // Anything but an EventId here makes the unarchiver raise, naming what
    // it found.
    QVPerfMonEventId event;
    unarchiver->decodeObject("EventId", event);
    counterEvents.insert(event);
  }
  unarchiver->leaveElement("CounterEventIds");
}

bool operator==(const QVEventProfileConfig& a, const QVEventProfileConfig& b) {
  if (a.processor != b.processor || a.triggerEvent != b.triggerEvent || a.triggerCount != b.triggerCount ||
      a.counterEvents.size() != b.counterEvents.size()) {
    return false;
  }
  return std::all_of(a.counterEvents.begin(), a.counterEvents.end(),
                     [&b](const QVPerfMonEventId& event) { return b.counterEvents.count(event) != 0; });
}

bool operator!=(const QVEventProfileConfig& a, const QVEventProfileConfig& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVEventProfileConfig& config) {
  config.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVEventProfileConfig>& config) {
  if (config) {
    config->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
