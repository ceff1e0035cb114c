#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"
#include "config/QVPerfMonEventId.h"
#include "system/QVMachine.h"

namespace Quorvel {

/// One programmable-counter event of a kernel-module driver: which counters
/// may count it (counter select, a bit mask), how to program it (event, mux
/// and unit-mask selects) and the sampling counts it allows.
///
/// Archive keys: "Identifier" (object), "CounterSelect", "EventSelect",
/// "MuxSelect", "UnitMaskSelect", "MinCount", "MinCountCallStack",
/// "MaxCount" ("0x%llx" text, read back with base detection).
class QVPerfMonEventLinux : public QVArchivable, public QVUnarchivable {
 public:
  /// The event of a free counter: no identifier, every field zero.
  static const std::shared_ptr<QVPerfMonEventLinux> NULL_EVENT;

  QVPerfMonEventLinux() = default;
  QVPerfMonEventLinux(const QVPerfMonEventId& identifier, uint32_t counterSelect, uint32_t eventSelect,
                      uint32_t muxSelect, uint32_t unitMaskSelect, uint64_t minCount, uint64_t minCountCallStack,
                      uint64_t maxCount);

  const QVPerfMonEventId& identifier() const { return identifier_; }
  uint32_t counterSelect() const { return counterSelect_; }
  uint32_t eventSelect() const { return eventSelect_; }
  uint32_t muxSelect() const { return muxSelect_; }
  uint32_t unitMaskSelect() const { return unitMaskSelect_; }
  uint64_t minCount() const { return minCount_; }
  uint64_t minCountCallStack() const { return minCountCallStack_; }
  uint64_t maxCount() const { return maxCount_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  /// "identifier - 0xCCCCCCCC:0xEEEEEEEE:0xMMMMMMMM:0xUUUUUUUU:min:minCallStack:max"
  void getDescription(std::ostream& os) const;

 private:
  QVPerfMonEventId identifier_;
  uint32_t counterSelect_ = 0;
  uint32_t eventSelect_ = 0;
  uint32_t muxSelect_ = 0;
  uint32_t unitMaskSelect_ = 0;
  uint64_t minCount_ = 0;
  uint64_t minCountCallStack_ = 0;
  uint64_t maxCount_ = 0xFFFFFFFFull;
};

/// Equal when identifier, the four selects and the maximum count agree; the
/// minimum counts are tuning, not identity.
bool operator==(const QVPerfMonEventLinux& a, const QVPerfMonEventLinux& b);
bool operator!=(const QVPerfMonEventLinux& a, const QVPerfMonEventLinux& b);
std::ostream& operator<<(std::ostream& os, const QVPerfMonEventLinux& event);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVPerfMonEventLinux>& event);

/// The events of one processor model, in file order, with an index by
/// identifier (a later event with the same identifier wins the index; both
/// stay in the sequence).
///
/// Archive keys: "Processor" (ProcessorToString), "NumberOfCounters"
/// ("0x%llx"), list "Events" of "Event" objects.
class QVPerfMonEventListLinux : public QVArchivable, public QVUnarchivable {
 public:
  QVPerfMonEventListLinux(QVProcessor processor, uint32_t numberOfCounters, const std::string& name);
  QVPerfMonEventListLinux(const QVPerfMonEventListLinux&) = delete;
  QVPerfMonEventListLinux& operator=(const QVPerfMonEventListLinux&) = delete;

  void addEvent(const std::shared_ptr<QVPerfMonEventLinux>& event);
  size_t eventCount() const { return events_.size(); }
  std::shared_ptr<QVPerfMonEventLinux> eventAtIndex(size_t index) const;
  std::shared_ptr<QVPerfMonEventLinux> eventWithIdentifier(const QVPerfMonEventId& identifier) const;

  QVProcessor processor() const { return processor_; }
  uint32_t numberOfCounters() const { return numberOfCounters_; }
  const std::string& name() const { return name_; }

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  void getDescription(std::ostream& os) const;

 private:
  QVProcessor processor_;
  uint32_t numberOfCounters_;
  std::vector<std::shared_ptr<QVPerfMonEventLinux>> events_;
  std::unordered_map<QVPerfMonEventId, std::shared_ptr<QVPerfMonEventLinux>> index_;
  std::string name_;
};

template <>
struct QVUnarchiverFactory<QVPerfMonEventListLinux> {
  static std::shared_ptr<QVPerfMonEventListLinux> create() {
    return std::make_shared<QVPerfMonEventListLinux>(QVProcessorUnknown, 0, std::string());
  }
};

}  // namespace Quorvel
