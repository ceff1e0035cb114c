#include "config/QVEventProfileConfig.h"

#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "base/QVException.h"
#include "support/ArchiveRoundTrip.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

const QVPerfMonEventId kCycles("cycles", "CPU Cycles", "Hardware");
const QVPerfMonEventId kBranches("branches", "Branches", "Hardware");
const QVPerfMonEventId kMisses("LLC-load-misses", "LLC load misses", "Hardware cache");
const QVPerfMonEventId kInstructions("instructions", "Instructions", "Hardware");

QVEventProfileConfig MakeConfig() {
  QVEventProfileConfig config;
  config.processor = QVProcessorCore2;
  config.setTriggerEvent(kCycles, 100000);
  // Inserted out of identifier order on purpose: output must not depend on
  // the hash set's iteration order.
  config.addCounterEvent(kMisses);
  config.addCounterEvent(kInstructions);
  config.addCounterEvent(kBranches);
  return config;
}

// Copies from shared pointers are made, and checked to be deep, by every
// copy of a session configuration.
TEST(QVEventProfileConfigEditing, CounterEventsAreASetAndRemovingAnswersFalse) {
  QVEventProfileConfig config;
  EXPECT_TRUE(config.addCounterEvent(kBranches));
  EXPECT_TRUE(config.addCounterEvent(QVPerfMonEventId("branches", "renamed", "")));
  EXPECT_EQ(1u, config.counterEvents.size());

  // The answer is false by contract; the event still goes.
  EXPECT_FALSE(config.removeCounterEvent(kBranches));
  EXPECT_TRUE(config.counterEvents.empty());
  EXPECT_FALSE(config.removeCounterEvent(kBranches));
  EXPECT_THROW(QVEventProfileConfig(std::shared_ptr<QVEventProfileConfig>()), QVException);
}

TEST(QVEventProfileConfigEquality, ComparesProcessorTriggerAndCounterSet) {
  // The same configuration built in another order, with other display
  // names and another configuration name, is equal.
  QVEventProfileConfig a = MakeConfig();
  QVEventProfileConfig b;
  b.processor = QVProcessorCore2;
  b.setTriggerEvent(QVPerfMonEventId("cycles", "other display name", ""), 100000);
  b.addCounterEvent(kBranches);
  b.addCounterEvent(kInstructions);
  b.addCounterEvent(kMisses);
  b.setName("a different name");
  EXPECT_EQ(a, b);

  const std::pair<const char*, std::function<void(QVEventProfileConfig&)>> changes[] = {
      {"processor", [](QVEventProfileConfig& c) { c.processor = QVProcessorCoreI7; }},
      {"trigger", [](QVEventProfileConfig& c) { c.triggerEvent = kInstructions; }},
      {"count", [](QVEventProfileConfig& c) { c.triggerCount = 100001; }},
      {"fewer counters", [](QVEventProfileConfig& c) { c.removeCounterEvent(kMisses); }},
      // Same size, one member swapped.
      {"other counters",
       [](QVEventProfileConfig& c) {
         c.removeCounterEvent(kMisses);
         c.addCounterEvent(QVPerfMonEventId("cache-misses", "", ""));
       }},
  };
  for (const auto& change : changes) {
    QVEventProfileConfig changed = b;
    change.second(changed);
    EXPECT_NE(a, changed) << change.first;
    EXPECT_NE(changed, a) << change.first;
  }
}

// The description's order is checked in a session configuration's text;
// the archive writes the counter events sorted too, and reads them back.
TEST(QVEventProfileConfigText, ArchiveListsCounterEventsInIdentifierOrder) {
  QVEventProfileConfig original = MakeConfig();
  std::string document = test::ArchiveToString(original, "EventConfig");

  const size_t processor = document.find("<Processor>" + ProcessorToString(QVProcessorCore2) + "</Processor>");
  const size_t trigger = document.find("<TriggerEventId>");
  const size_t count = document.find("<TriggerCount>0x186a0</TriggerCount>");  // 100000
  const size_t list = document.find("<CounterEventIds>");
  const size_t misses = document.find("<Identifier>LLC-load-misses</Identifier>");
  const size_t branches = document.find("<Identifier>branches</Identifier>");
  const size_t instructions = document.find("<Identifier>instructions</Identifier>");
  ASSERT_NE(std::string::npos, processor) << document;
  ASSERT_NE(std::string::npos, count) << document;
  ASSERT_NE(std::string::npos, instructions) << document;
  EXPECT_LT(processor, trigger);
  EXPECT_LT(trigger, count);
  EXPECT_LT(count, list);
  EXPECT_LT(list, misses);
  EXPECT_LT(misses, branches);
  EXPECT_LT(branches, instructions);
  EXPECT_NE(std::string::npos, document.find("version=\"0.1\"")) << document;

  std::shared_ptr<QVEventProfileConfig> copy =
      test::UnarchiveFromString<QVEventProfileConfig>(document, "EventConfig");
  ASSERT_TRUE(copy);
  EXPECT_EQ(original, *copy);
  // Archiving is deterministic, so the copy writes the same document, names
  // the equality above ignores included.
  EXPECT_EQ(document, test::ArchiveToString(*copy, "EventConfig"));

  // Decoding replaces the counter events a configuration had.
  QVEventProfileConfig empty;
  std::istringstream stream(test::ArchiveToString(empty, "EventConfig"));
  QVUnarchiver::createUnarchiver(stream)->decodeObject("EventConfig", *copy);
  EXPECT_EQ(empty, *copy);

  // A foreign element in the counter list is an error.
  document.insert(document.find("<CounterEventIds>") + std::string("<CounterEventIds>").size(), "<Bogus>1</Bogus>");
  EXPECT_THROW(test::UnarchiveFromString<QVEventProfileConfig>(document, "EventConfig"), QVException);
}

}  // namespace
}  // namespace Quorvel
