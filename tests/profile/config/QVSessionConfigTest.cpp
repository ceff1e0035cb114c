#include "config/QVSessionConfig.h"

#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/QVException.h"
#include "base/QVFormat.h"
#include "base/QVLog.h"
#include "support/ArchiveRoundTrip.h"
#include "support/TestSupport.h"

namespace Quorvel {
namespace {

using Config = QVSessionConfig;

const QVPerfMonEventId kCycles("cycles", "CPU Cycles", "Hardware");
const QVPerfMonEventId kBranches("branches", "Branches", "Hardware");

// Every field away from its default, so that a round trip or a copy that
// drops one of them shows.
std::shared_ptr<Config> BusyConfig(Config::Trigger trigger) {
  auto config = std::make_shared<Config>(trigger);
  config->setName("busy");
  config->timeLimitEnable = true;
  config->timeLimit = 12.5;
  config->sampleLimitEnable = true;
  config->sampleLimit = 250000;
  config->sampleLimitAction = Config::SampleLimitActionWrap;
  config->adaptiveEnable = true;
  config->adaptiveThreshold = 4096;
  config->timerConfig->interval = 0.25;
  config->eventConfig->processor = QVProcessorCoreI7;
  config->eventConfig->setTriggerEvent(kCycles, 2000000);
  config->eventConfig->addCounterEvent(kBranches);
  config->schedTraceConfig->setEnabled(true);
  config->syscallTraceConfig->setEnabled(true);
  return config;
}

TEST(QVSessionConfigText, TriggerAndSampleLimitActionTexts) {
  const char* const triggers[] = {"unknown", "timer", "timeros", "timeruser", "event", "unknown"};
  for (int value = -1; value <= 5; ++value) {
    const auto trigger = static_cast<Config::Trigger>(value);
    const std::string word = value < 0 ? "unknown" : triggers[value];
    EXPECT_EQ(word, Config::triggerToString(trigger)) << value;
    if (value >= 0 && value <= 4) {
      EXPECT_EQ(trigger, Config::triggerFromString(word));
    }
  }
  // Case and surrounding blanks do not matter; anything else is unknown.
  const std::pair<const char*, Config::Trigger> readTriggers[] = {
      {"Timer", Config::TriggerTimer},           {" TIMEROS\t", Config::TriggerTimerOS},
      {"\nEvent \n", Config::TriggerEvent},      {"timer os", Config::TriggerUnknown},
      {"stop", Config::TriggerUnknown},          {"", Config::TriggerUnknown}};
  for (const auto& c : readTriggers) EXPECT_EQ(c.second, Config::triggerFromString(c.first)) << c.first;

  const char* const actions[] = {"unknown", "wrap", "stop", "unknown"};
  for (int value = 0; value <= 3; ++value) {
    EXPECT_EQ(actions[value], Config::sampleLimitActionToString(static_cast<Config::SampleLimitAction>(value)));
  }
  const std::pair<const char*, Config::SampleLimitAction> readActions[] = {
      {"  STOP  ", Config::SampleLimitActionStop},      {"Wrap", Config::SampleLimitActionWrap},
      {"unknown", Config::SampleLimitActionUnknown},    {"timer", Config::SampleLimitActionUnknown},
      {"st op", Config::SampleLimitActionUnknown}};
  for (const auto& c : readActions) EXPECT_EQ(c.second, Config::sampleLimitActionFromString(c.first)) << c.first;
}

TEST(QVSessionConfigDescription, TriggerLimitAndTraceLinesInOrder) {
  const std::string cpuTimer = "A sample is taken every " + FormatTimeSeconds(0.001) + " (CPU Time).\n";
  const std::string limited = cpuTimer + "Profiling ends automatically after 5000 samples have been taken. ";
  const struct {
    const char* name;
    Config::Trigger trigger;
    std::function<void(Config&)> change;
    std::string expected;
  } cases[] = {
      {"os timer", Config::TriggerTimerOS, [](Config& c) { c.timerConfig->interval = 0.01; },
       "A sample is taken every " + FormatTimeSeconds(0.01) + " (OS Time).\n"},
      {"user timer", Config::TriggerTimerUser, [](Config&) {},
       "Samples are taken for all threads in the target process every " + FormatTimeSeconds(0.001) + ".\n"},
      {"event", Config::TriggerEvent, [](Config& c) { c.eventConfig->setTriggerEvent(kCycles, 5000); },
       "A sample is taken every 5000 occurrences of CPU event \"CPU Cycles\". \n"},
      {"unknown trigger", Config::TriggerUnknown, [](Config&) {}, "Unknown trigger event. "},
      // A timer that never fires gets no trigger line at all.
      {"zero interval", Config::TriggerTimer, [](Config& c) { c.timerConfig->interval = 0; }, ""},
      {"negative interval", Config::TriggerTimer, [](Config& c) { c.timerConfig->interval = -1; }, ""},
      {"cpu timer", Config::TriggerTimer, [](Config&) {}, cpuTimer},
      {"time limit", Config::TriggerTimer, [](Config& c) { c.timeLimitEnable = true; },
       cpuTimer + "Profiling ends automatically after " + FormatTimeSeconds(30.0) + ". \n"},
      {"zero time limit", Config::TriggerTimer, [](Config& c) { c.timeLimitEnable = true, c.timeLimit = 0; }, cpuTimer},
      {"sample limit", Config::TriggerTimer, [](Config& c) { c.sampleLimitEnable = true, c.sampleLimit = 5000; },
       limited},
      {"wrap", Config::TriggerTimer,
       [](Config& c) {
         c.sampleLimitEnable = true, c.sampleLimit = 5000, c.sampleLimitAction = Config::SampleLimitActionWrap;
       },
       cpuTimer + "Profiling wraps after 5000 samples have been taken. "},
      {"unknown action", Config::TriggerTimer,
       [](Config& c) {
         c.sampleLimitEnable = true, c.sampleLimit = 5000, c.sampleLimitAction = Config::SampleLimitActionUnknown;
       },
       cpuTimer + "Unknown sample limit action."},
      {"zero sample limit", Config::TriggerTimer, [](Config& c) { c.sampleLimitEnable = true, c.sampleLimit = 0; },
       cpuTimer},
      {"scheduler", Config::TriggerTimer, [](Config& c) { c.schedTraceConfig->setEnabled(true); },
       cpuTimer + "Thread scheduler events are traced.\n"},
      {"both traces", Config::TriggerTimer,
       [](Config& c) { c.schedTraceConfig->setEnabled(true), c.syscallTraceConfig->setEnabled(true); },
       cpuTimer + "Thread scheduler events are traced.\nSystem calls are traced.\n"},
      {"system calls", Config::TriggerTimer, [](Config& c) { c.syscallTraceConfig->setEnabled(true); },
       cpuTimer + "System calls are traced.\n"},
      {"everything", Config::TriggerEvent, [](Config& c) { c = *BusyConfig(Config::TriggerEvent); },
       "A sample is taken every 2000000 occurrences of CPU event \"CPU Cycles\". \nProfiling ends automatically after " +
           FormatTimeSeconds(12.5) +
           ". \nProfiling wraps after 250000 samples have been taken. Thread scheduler events are traced.\n"
           "System calls are traced.\n"},
  };
  for (const auto& c : cases) {
    Config config(c.trigger);
    c.change(config);
    EXPECT_EQ(c.expected, config.description()) << c.name;
    // description() stores what it built.
    EXPECT_EQ(c.expected, static_cast<const Config&>(config).description()) << c.name;
  }
}

TEST(QVSessionConfigDiagnostic, DefaultTimerUnknownTriggerAndEventWithLimitsAndTraces) {
  EXPECT_EQ("name:config time limit:none sample limit:none adaptive threshold:1000000 trigger:timer"
            " timer config:{interval: 0.001}",
            test::Text(Config(Config::TriggerTimer)));

  Config unknown(Config::TriggerUnknown);
  unknown.sampleLimitEnable = true;
  unknown.sampleLimitAction = Config::SampleLimitActionUnknown;
  EXPECT_EQ("name:config time limit:none sample limit:1000000(unknown) adaptive threshold:1000000"
            " trigger:unknown",
            test::Text(unknown));

  std::shared_ptr<Config> config = BusyConfig(Config::TriggerEvent);
  config->adaptiveEnable = false;
  config->eventConfig->addCounterEvent(QVPerfMonEventId("a-first", "First", ""));
  EXPECT_EQ("name:busy time limit:12.5 sample limit:250000(wrap) adaptive threshold:none trigger:event"
            " event config:{cpu: " +
                ProcessorToPrettyString(QVProcessorCoreI7) +
                " triggerEvent: Hardware:CPU Cycles [cycles] triggerCount: 2000000"
                " counterEvent: First [a-first] counterEvent: Hardware:Branches [branches]}"
                " schedule trace config:{enabled} syscall trace config:{enabled}",
            test::Text(*config));

  std::ostringstream shared;
  shared << config << '|' << std::shared_ptr<Config>();
  EXPECT_EQ(test::Text(*config) + "|", shared.str());
}

TEST(QVSessionConfigDiagnostic, PrintDebugLogsConfigurationAndSubConfigurations) {
  std::shared_ptr<Config> config = BusyConfig(Config::TriggerTimerOS);
  const std::string log = test::CaptureLog([&] { config->printDebug(); });
  const std::string expected[] = {"config: " + test::Text(*config), "eventConfig: " + test::Text(config->eventConfig),
                                  "timerConfig: interval: 0.25", "schedTraceConfig: enabled",
                                  "syscallTraceConfig: enabled"};
  size_t position = 0;
  for (const std::string& line : expected) {
    size_t found = log.find(line, position);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << line << "\nlog:\n" << log;
    position = found + line.size();
  }
  EXPECT_NE(std::string::npos, log.find("DEBUG")) << log;
}

TEST(QVSessionConfigEquality, LimitsCountWhenEnabledSubConfigurationsByTriggerAndTracesAlways) {
  using Change = std::function<void(Config&)>;
  const Change none = [](Config&) {};
  const Change timeLimitOn = [](Config& c) { c.timeLimitEnable = true; };
  const Change nanLimit = [](Config& c) { c.timeLimit = std::numeric_limits<double>::quiet_NaN(); };
  const Change nanLimitOn = [](Config& c) {
    c.timeLimit = std::numeric_limits<double>::quiet_NaN(), c.timeLimitEnable = true;
  };
  const Change otherInterval = [](Config& c) { c.timerConfig->interval = 0.002; };
  const Change otherTrigger = [](Config& c) { c.eventConfig->setTriggerEvent(kCycles, 1000); };
  const Change schedOn = [](Config& c) { c.schedTraceConfig->setEnabled(true); };
  const Change syscallOn = [](Config& c) { c.syscallTraceConfig->setEnabled(true); };
  // A missing sub-configuration stands for a default one.
  const Change cleared = [](Config& c) {
    c.timerConfig.reset(), c.schedTraceConfig.reset(), c.syscallTraceConfig.reset();
  };
  const struct {
    const char* name;
    Config::Trigger trigger;
    Change a, b;
    bool equal;
  } cases[] = {
      {"disabled limits and names", Config::TriggerTimer, [](Config& c) { c.adaptiveEnable = false; },
       [](Config& c) {
         c.adaptiveEnable = false, c.timeLimit = 99, c.sampleLimit = 7, c.adaptiveThreshold = 3;
         c.setName("other"), c.setDescription("other");
       },
       true},
      {"time limits", Config::TriggerTimer, timeLimitOn, [](Config& c) { c.timeLimitEnable = true, c.timeLimit = 99; },
       false},
      {"equal time limits", Config::TriggerTimer, timeLimitOn, timeLimitOn, true},
      {"one time limit", Config::TriggerTimer, none, timeLimitOn, false},
      {"sample limits", Config::TriggerTimer, [](Config& c) { c.sampleLimitEnable = true; },
       [](Config& c) { c.sampleLimitEnable = true, c.sampleLimit = 7; }, false},
      {"thresholds", Config::TriggerTimer, none, [](Config& c) { c.adaptiveThreshold = 3; }, false},
      {"action of a disabled limit", Config::TriggerTimer, none,
       [](Config& c) { c.sampleLimitAction = Config::SampleLimitActionWrap; }, false},
      {"disabled NaN limits", Config::TriggerTimer, nanLimit, nanLimit, true},
      {"enabled NaN limits", Config::TriggerTimer, nanLimitOn, nanLimitOn, false},
      {"event under timer", Config::TriggerTimer, none, otherTrigger, true},
      {"event under OS timer", Config::TriggerTimerOS, none, otherTrigger, true},
      {"event under user timer", Config::TriggerTimerUser, none, otherTrigger, true},
      {"interval under timer", Config::TriggerTimer, none, otherInterval, false},
      {"interval under OS timer", Config::TriggerTimerOS, none, otherInterval, false},
      {"interval under user timer", Config::TriggerTimerUser, none, otherInterval, false},
      {"interval under event", Config::TriggerEvent, none, otherInterval, true},
      {"count under event", Config::TriggerEvent, none, [](Config& c) { c.eventConfig->setTriggerCount(10); }, false},
      {"both under unknown", Config::TriggerUnknown, none,
       [](Config& c) { c.timerConfig->interval = 5, c.eventConfig->setTriggerCount(10); }, true},
      {"scheduler under unknown", Config::TriggerUnknown, none, schedOn, false},
      {"scheduler under timer", Config::TriggerTimer, none, schedOn, false},
      {"scheduler under event", Config::TriggerEvent, none, schedOn, false},
      {"system calls under unknown", Config::TriggerUnknown, none, syscallOn, false},
      {"system calls under timer", Config::TriggerTimer, none, syscallOn, false},
      {"system calls under event", Config::TriggerEvent, none, syscallOn, false},
      {"missing sub-configurations", Config::TriggerTimer, none, cleared, true},
      {"missing against enabled trace", Config::TriggerTimer, schedOn, cleared, false},
  };
  for (const auto& c : cases) {
    Config a(c.trigger);
    Config b(c.trigger);
    c.a(a);
    c.b(b);
    EXPECT_EQ(c.equal, a == b) << c.name;
    EXPECT_EQ(c.equal, b == a) << c.name;
    EXPECT_NE(c.equal, a != b) << c.name;
  }
  EXPECT_NE(Config(Config::TriggerTimer), Config(Config::TriggerTimerOS));
  Config nan(Config::TriggerTimer);
  nanLimitOn(nan);
  EXPECT_FALSE(nan == nan);

  // Describing and archiving a configuration with cleared pointers works too.
  Config b(Config::TriggerTimer);
  cleared(b);
  EXPECT_EQ("A sample is taken every " + FormatTimeSeconds(0.001) + " (CPU Time).\n", b.description());
  std::shared_ptr<Config> read = test::UnarchiveFromString<Config>(test::ArchiveToString(b, "Config"), "Config");
  ASSERT_TRUE(read);
  EXPECT_EQ(b, *read);
}

TEST(QVSessionConfigCopy, CopiesAreDeepAndScaleBothIntervalAndTriggerCount) {
  std::shared_ptr<Config> original = BusyConfig(Config::TriggerEvent);
  Config fromPointer(original);
  Config copied(*original);
  Config assigned(Config::TriggerUnknown);
  assigned = *original;
  for (Config* copy : {&fromPointer, &copied, &assigned}) {
    EXPECT_EQ(*original, *copy);
    EXPECT_EQ("busy", copy->name());
    EXPECT_NE(original->timerConfig, copy->timerConfig);
    EXPECT_NE(original->eventConfig, copy->eventConfig);
    EXPECT_NE(original->schedTraceConfig, copy->schedTraceConfig);
    EXPECT_NE(original->syscallTraceConfig, copy->syscallTraceConfig);
    copy->timerConfig->interval = 9;
    copy->eventConfig->addCounterEvent(QVPerfMonEventId("instructions", "", ""));
    copy->schedTraceConfig->setEnabled(false);
    copy->syscallTraceConfig->setEnabled(false);
  }
  EXPECT_EQ(0.25, original->timerConfig->interval);
  EXPECT_EQ(1u, original->eventConfig->counterEvents.size());
  EXPECT_TRUE(original->schedTraceConfig->isEnabled());
  EXPECT_TRUE(original->syscallTraceConfig->isEnabled());
  assigned = assigned;
  EXPECT_EQ(9.0, assigned.timerConfig->interval);

  // The copies above made their sub-configurations from shared pointers;
  // a null one has nothing to copy.
  EXPECT_THROW(Config(std::shared_ptr<Config>()), QVException);
  EXPECT_THROW(QVTimeProfileConfig(std::shared_ptr<QVTimeProfileConfig>()), QVException);
  EXPECT_THROW(QVSchedulerTraceConfig(std::shared_ptr<QVSchedulerTraceConfig>()), QVException);
  EXPECT_THROW(QVSystemCallTraceConfig(std::shared_ptr<QVSystemCallTraceConfig>()), QVException);

  Config scaled(Config::TriggerEvent);
  scaled.timerConfig->interval = 0.001;
  scaled.eventConfig->setTriggerCount(1000);
  scaled.scale(3);
  EXPECT_DOUBLE_EQ(0.003, scaled.timerConfig->interval);
  EXPECT_EQ(3000u, scaled.eventConfig->triggerCount);
}

class QVSessionConfigRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(QVSessionConfigRoundTrip, ArchivedConfigurationReadsBackEqual) {
  const auto trigger = static_cast<Config::Trigger>(GetParam());
  for (const std::shared_ptr<Config>& original : {std::make_shared<Config>(trigger), BusyConfig(trigger)}) {
    std::string document = test::ArchiveToString(*original, "Config");
    std::shared_ptr<Config> read = test::UnarchiveFromString<Config>(document, "Config");
    ASSERT_TRUE(read) << document;
    EXPECT_EQ(*original, *read) << document;
    // Fields outside operator== survive as well.
    EXPECT_EQ(original->name(), read->name());
    EXPECT_EQ(original->timeLimit, read->timeLimit);
    EXPECT_EQ(original->sampleLimit, read->sampleLimit);
    EXPECT_EQ(*original->timerConfig, *read->timerConfig);
    EXPECT_EQ(*original->eventConfig, *read->eventConfig);
    // The archived description is the current one even though nobody
    // asked for it before saving.
    const Config& stored = *read;
    EXPECT_EQ(original->description(), stored.description());
  }
}

INSTANTIATE_TEST_SUITE_P(EveryTrigger, QVSessionConfigRoundTrip, ::testing::Values(0, 1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return Config::triggerToString(static_cast<Config::Trigger>(info.param));
                         });

TEST(QVSessionConfigArchive, KeysInOrder) {
  std::string document = test::ArchiveToString(*BusyConfig(Config::TriggerEvent), "Config");
  const char* keys[] = {"<Name>",
                        "<Description>",
                        "<TimeLimitEnable>true<",
                        "<TimeLimit>12.5000000000<",
                        "<SampleLimitEnable>true<",
                        "<SampleLimit>0x3d090<",
                        "<SampleLimitAction>wrap<",
                        "<AdaptiveEnable>true<",
                        "<AdaptiveThreshold>0x1000<",
                        "<Trigger>event<",
                        "<EventConfig",
                        "<TimerConfig",
                        "<Name>Time Profile Config<",
                        "<Interval>0.2500000000<",
                        "<SchedTraceConfig version=\"0.1\"",
                        "<Name>Scheduler Trace Config<",
                        "<Enable>true<",
                        "<SyscallTraceConfig version=\"0.1\"",
                        "<Name>System Call Trace Config<",
                        "<Enable>true<"};
  size_t position = 0;
  for (const char* key : keys) {
    size_t found = document.find(key, position);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << key << "\n" << document;
    position = found;
  }
  EXPECT_NE(std::string::npos, document.find("<Config version=\"2.0\"")) << document;
  EXPECT_NE(std::string::npos, document.find("<TimerConfig version=\"0.1\"")) << document;
}

// What an older recorder wrote: sample-window keys, a randomised interval,
// and neither the adaptive settings nor the trace configurations.
const char kOldDocument[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Config version="1.0">
  <Name>legacy</Name>
  <Description>written long ago</Description>
  <TimeLimitEnable>true</TimeLimitEnable>
  <TimeLimit>12.5000000000</TimeLimit>
  <SampleLimitEnable>true</SampleLimitEnable>
  <SampleLimit>0x2710</SampleLimit>
  <SampleLimitAction>Wrap</SampleLimitAction>
  <SampleWindowEnable>true</SampleWindowEnable>
  <SampleWindow>0x64</SampleWindow>
  <Trigger>timeros</Trigger>
  <EventConfig>
    <Name>Event Profile Config</Name>
    <Description></Description>
    <Processor>x86-64:hammer</Processor>
    <TriggerEventId><Identifier>cycles</Identifier><Name>CPU Cycles</Name><Group>Hardware</Group></TriggerEventId>
    <TriggerCount>0x3e8</TriggerCount>
    <CounterEventIds>
      <EventId><Identifier>branches</Identifier><Name>Branches</Name><Group></Group></EventId>
    </CounterEventIds>
  </EventConfig>
  <TimerConfig>
    <Name>Time Profile Config</Name>
    <Description></Description>
    <Interval>0.0050000000</Interval>
    <IntervalRandomization>true</IntervalRandomization>
  </TimerConfig>
</Config>
)";

TEST(QVSessionConfigArchive, OldDocumentReadsWithDefaultsKept) {
  std::shared_ptr<Config> config = test::UnarchiveFromString<Config>(kOldDocument, "Config");
  ASSERT_TRUE(config);
  EXPECT_EQ("legacy", config->name());
  EXPECT_TRUE(config->timeLimitEnable);
  EXPECT_EQ(12.5, config->timeLimit);
  EXPECT_TRUE(config->sampleLimitEnable);
  EXPECT_EQ(10000u, config->sampleLimit);  // 0x2710
  EXPECT_EQ(Config::SampleLimitActionWrap, config->sampleLimitAction);
  EXPECT_TRUE(config->adaptiveEnable);
  EXPECT_EQ(1000000u, config->adaptiveThreshold);
  EXPECT_EQ(Config::TriggerTimerOS, config->trigger);
  ASSERT_TRUE(config->timerConfig);
  EXPECT_EQ(0.005, config->timerConfig->interval);
  ASSERT_TRUE(config->eventConfig);
  EXPECT_EQ(QVProcessorHammer, config->eventConfig->processor);
  EXPECT_EQ(QVPerfMonEventId("cycles", "", ""), config->eventConfig->triggerEvent);
  EXPECT_EQ(1000u, config->eventConfig->triggerCount);  // 0x3e8
  EXPECT_EQ(1u, config->eventConfig->counterEvents.count(kBranches));
  ASSERT_TRUE(config->schedTraceConfig);
  EXPECT_FALSE(config->schedTraceConfig->isEnabled());
  ASSERT_TRUE(config->syscallTraceConfig);
  EXPECT_FALSE(config->syscallTraceConfig->isEnabled());
}

// A number that does not parse reads as zero, as the archive's own number
// parsing test shows.
TEST(QVSessionConfigArchive, UnrecognisedTextsReadAsUnknownAndAMissingTriggerIsAnError) {
  const std::string original = test::ArchiveToString(Config(Config::TriggerTimer), "Config");
  std::string document = test::ReplaceOnce(original, "<Trigger>timer<", "<Trigger>sometimes<");
  document = test::ReplaceOnce(document, "<SampleLimitAction>stop<", "<SampleLimitAction>explode<");
  std::shared_ptr<Config> config = test::UnarchiveFromString<Config>(document, "Config");
  ASSERT_TRUE(config);
  EXPECT_EQ(Config::TriggerUnknown, config->trigger);
  EXPECT_EQ(Config::SampleLimitActionUnknown, config->sampleLimitAction);

  document = test::ReplaceOnce(original, "<Trigger>timer</Trigger>", "");
  EXPECT_THROW(test::UnarchiveFromString<Config>(document, "Config"), QVException);
}

TEST(QVSessionConfigDocument, CarriesSchemaAttributesAndReadsBack) {
  std::shared_ptr<Config> original = BusyConfig(Config::TriggerEvent);
  std::ostringstream out;
  ASSERT_TRUE(Config::writeDocument(out, *original));
  const std::string document = out.str();
  const size_t root = document.find("<SessionConfig");
  ASSERT_NE(std::string::npos, root) << document;
  const std::string startTag = document.substr(root, document.find('>', root) - root);
  EXPECT_NE(std::string::npos, startTag.find(std::string("xmlns=\"") + Config::schemaNameSpace() + "\""))
      << startTag;
  EXPECT_NE(std::string::npos, startTag.find("xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""))
      << startTag;
  EXPECT_NE(std::string::npos, startTag.find("xsi:schemaLocation=\"ConfigProfile.xsd\"")) << startTag;
  EXPECT_NE(std::string::npos, startTag.find("version=\"2.0\"")) << startTag;

  std::istringstream in(document);
  std::shared_ptr<Config> read = Config::readDocument(in);
  ASSERT_TRUE(read);
  EXPECT_EQ(*original, *read);
  EXPECT_EQ("busy", read->name());
  // Indentation must not leak into the multi-line description.
  const QVConfig& stored = *read;
  EXPECT_EQ(original->description(), stored.description());
}

TEST(QVSessionConfigDocument, MalformedDocumentsRaiseAndAFailedStreamIsReported) {
  std::ostringstream out;
  ASSERT_TRUE(Config::writeDocument(out, Config(Config::TriggerTimer)));
  const std::string document = out.str();

  // The last: a session configuration archived inside some other document's root.
  for (const std::string& text : {document.substr(0, document.size() / 2), std::string(),
                                  std::string("TimeLimitEnable=true\n"),
                                  test::ArchiveToString(Config(Config::TriggerTimer), "Config")}) {
    std::istringstream in(text);
    EXPECT_THROW(Config::readDocument(in), QVException) << text;
  }

  std::ostringstream failed;
  failed.setstate(std::ios::badbit);
  bool written = true;
  const std::string log =
      test::CaptureLog([&] { written = Config::writeDocument(failed, Config(Config::TriggerTimer)); });
  EXPECT_FALSE(written);
  EXPECT_NE(std::string::npos, log.find("ERROR")) << log;
}

}  // namespace
}  // namespace Quorvel
