#include "Linux/driver/QVPerfMonEventLinux.h"

#include <cstdio>
#include <ostream>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

const std::shared_ptr<QVPerfMonEventLinux> QVPerfMonEventLinux::NULL_EVENT =
    std::make_shared<QVPerfMonEventLinux>(EVENT_ID_NULL, 0, 0, 0, 0, 0, 0, 0);

QVPerfMonEventLinux::QVPerfMonEventLinux(const QVPerfMonEventId& identifier, uint32_t counterSelect,
                                         uint32_t eventSelect, uint32_t muxSelect, uint32_t unitMaskSelect,
                                         uint64_t minCount, uint64_t minCountCallStack, uint64_t maxCount)
    : identifier_(identifier),
      counterSelect_(counterSelect),
      eventSelect_(eventSelect),
      muxSelect_(muxSelect),
      unitMaskSelect_(unitMaskSelect),
      minCount_(minCount),
      minCountCallStack_(minCountCallStack),
      maxCount_(maxCount) {}

void QVPerfMonEventLinux::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(identifier_, "Identifier");
  archiver->encodeUnsigned(counterSelect_, "CounterSelect");
  archiver->encodeUnsigned(eventSelect_, "EventSelect");
  archiver->encodeUnsigned(muxSelect_, "MuxSelect");
  archiver->encodeUnsigned(unitMaskSelect_, "UnitMaskSelect");
  archiver->encodeUnsigned(minCount_, "MinCount");
  archiver->encodeUnsigned(minCountCallStack_, "MinCountCallStack");
  archiver->encodeUnsigned(maxCount_, "MaxCount");
}

void QVPerfMonEventLinux::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  unarchiver->decodeObject("Identifier", identifier_);
  counterSelect_ = uint32_t(unarchiver->decodeUnsigned("CounterSelect"));
  eventSelect_ = uint32_t(unarchiver->decodeUnsigned("EventSelect"));
  muxSelect_ = uint32_t(unarchiver->decodeUnsigned("MuxSelect"));
  unitMaskSelect_ = uint32_t(unarchiver->decodeUnsigned("UnitMaskSelect"));
  minCount_ = unarchiver->decodeUnsigned("MinCount");
  minCountCallStack_ = unarchiver->decodeUnsigned("MinCountCallStack");
  maxCount_ = unarchiver->decodeUnsigned("MaxCount");
}

void QVPerfMonEventLinux::getDescription(std::ostream& os) const {
  char selects[64];
  std::snprintf(selects, sizeof selects, "0x%08x:0x%08x:0x%08x:0x%08x:", counterSelect_, eventSelect_, muxSelect_,
                unitMaskSelect_);
  os << identifier_ << " - " << selects << minCount_ << ":" << minCountCallStack_ << ":" << maxCount_;
}

bool operator==(const QVPerfMonEventLinux& a, const QVPerfMonEventLinux& b) {
  return a.identifier() == b.identifier() && a.counterSelect() == b.counterSelect() &&
         a.eventSelect() == b.eventSelect() && a.muxSelect() == b.muxSelect() &&
         a.unitMaskSelect() == b.unitMaskSelect() && a.maxCount() == b.maxCount();
}

bool operator!=(const QVPerfMonEventLinux& a, const QVPerfMonEventLinux& b) { return !(a == b); }

std::ostream& operator<<(std::ostream& os, const QVPerfMonEventLinux& event) {
  event.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVPerfMonEventLinux>& event) {
  if (event) event->getDescription(os);
  return os;
}

QVPerfMonEventListLinux::QVPerfMonEventListLinux(QVProcessor processor, uint32_t numberOfCounters,
                                                 const std::string& name)
    : processor_(processor), numberOfCounters_(numberOfCounters), index_(11), name_(name) {}

void QVPerfMonEventListLinux::addEvent(const std::shared_ptr<QVPerfMonEventLinux>& event) {
  if (!event) return;
  events_.push_back(event);
  index_[event->identifier()] = event;
}

std::shared_ptr<QVPerfMonEventLinux> QVPerfMonEventListLinux::eventAtIndex(size_t index) const {
  return index < events_.size() ? events_[index] : nullptr;
}

std::shared_ptr<QVPerfMonEventLinux> QVPerfMonEventListLinux::eventWithIdentifier(
    const QVPerfMonEventId& identifier) const {
  auto found = index_.find(identifier);
  return found == index_.end() ? nullptr : found->second;
}

void QVPerfMonEventListLinux::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeString(ProcessorToString(processor_), "Processor");
  archiver->encodeUnsigned(numberOfCounters_, "NumberOfCounters");
  archiver->beginList("Events");
  for (const auto& event : events_) archiver->encodeObject(*event, "Event");
  archiver->endList("Events");
}

void QVPerfMonEventListLinux::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  std::string processor;
  unarchiver->decodeString("Processor", processor);
  processor_ = ProcessorFromString(processor);
  numberOfCounters_ = uint32_t(unarchiver->decodeUnsigned("NumberOfCounters"));
  events_.clear();
  index_.clear();
  unarchiver->enterElement("Events");
  std::string key;
  while (unarchiver->nextKey(key)) {
    auto event = std::make_shared<QVPerfMonEventLinux>();
    unarchiver->decodeObject("Event", *event);
    events_.push_back(event);
  }
  unarchiver->leaveElement("Events");
  for (const auto& event : events_) index_[event->identifier()] = event;
}

void QVPerfMonEventListLinux::getDescription(std::ostream& os) const {
  os << "Event List for " << ProcessorToPrettyString(processor_) << " - " << numberOfCounters_ << " PMCs - "
     << events_.size() << " Events\n";
  for (size_t i = 0; i < events_.size(); ++i) os << "Event #" << i << "\n" << *events_[i] << "\n";
}

}  // namespace Quorvel
