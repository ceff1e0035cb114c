#include "Linux/perf/QVProfileDriverLinuxPerf.h"

#include <gtest/gtest.h>

#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "notify/QVNotificationIds.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;

namespace {

TEST(QVProfileDriverLinuxPerfTest, DebugfsIsFoundWhereverItIsMounted) {
  struct Case {
    const char* mounts;
    bool mounted;
  };
  const Case cases[] = {
      {"none /mnt/dbg debugfs rw 0 0\n", true},
      {"proc /proc proc rw,relatime 0 0\nnone /sys/kernel/debug debugfs rw,relatime 0 0\n", true},
      {"debugfs /sys/kernel/debug debugfs rw", true},  // dump and pass fields are optional
      {"# none /mnt/dbg debugfs rw 0 0\n", false},
      {"tracefs /sys/kernel/tracing tracefs rw 0 0\n", false},
      {"none debugfs\n", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVProfileDriverLinuxPerf::isDebugfsMountedIn(c.mounts), c.mounted) << c.mounts;
  }
}

TEST(QVProfileDriverLinuxPerfTest, EventListKeepsHardwareAndSoftwareEvents) {
  const std::string listing =
      "List of pre-defined events (to be used in -e):\n"
      "  cpu-cycles OR cycles                               [Hardware event]\n"
      "  L1-dcache-loads                                    [Hardware cache event]\n"
      "  cpu-clock                                          [Software event]\n"
      "  sched:sched_switch                                 [Tracepoint event]\n"
      "  rNNN                                               [Raw hardware event descriptor]\n"
      "\n";
  const std::vector<QVPerfMonEventId> events = QVProfileDriverLinuxPerf::parseEventList(listing);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].identifier(), "cpu-cycles");
  EXPECT_EQ(events[0].group(), "Hardware");
  EXPECT_EQ(events[1].group(), "Hardware cache");
  EXPECT_EQ(events[2].identifier(), "cpu-clock");
  EXPECT_EQ(events[2].group(), "Software");
}

// The real perf tool of this machine: the driver must find it, mount
// debugfs, and list cpu-clock. Without a PMU the timer trigger is refused
// up front and the generic cycles event maps to nothing.
TEST(QVProfileDriverLinuxPerfTest, RealPerfLoadsAndReportsWhatItFound) {
  auto driver = QVProfileDriverLinuxPerf::defaultDriver();
  if (driver->perfBinaryPath().empty()) GTEST_SKIP() << "perf is not installed or does not run";
  if (!driver->isAvailable()) GTEST_SKIP() << "the kernel offers no perf events";
  ASSERT_TRUE(driver->load({}));
  if (!driver->init()) GTEST_SKIP() << "debugfs cannot be mounted here (not root?)";
  EXPECT_TRUE(driver->isFilterSupported());
  EXPECT_FALSE(driver->needsForceOverwriteFlag());
  EXPECT_TRUE(driver->schedTraceSupported());
  EXPECT_EQ(driver->events().count(QVPerfMonEventId("cpu-clock", "cpu-clock", "Software")), 1u);

  auto timer = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
  driver->setConfig(timer);
  QVErrorManager errors;
  driver->getConfigErrors(errors, false);
  const bool hasCycles = !driver->perfEventFor(EVENT_ID_CPU_CYCLES).identifier().empty();
  EXPECT_EQ(errors.testErrorId(QVProfileDriverErrorTriggerNotAvailable), !hasCycles);

  auto event = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerEvent);
  event->eventConfig = std::make_shared<QVEventProfileConfig>();
  event->eventConfig->triggerEvent = EVENT_ID_CPU_CYCLES;
  driver->setConfig(event);
  EXPECT_EQ(driver->triggerEvent(), driver->perfEventFor(EVENT_ID_CPU_CYCLES));
  event->eventConfig->triggerEvent = QVPerfMonEventId("cpu-clock", "cpu-clock", "Software");
  EXPECT_EQ(driver->triggerEvent().identifier(), "cpu-clock");
  driver->setConfig(nullptr);
  EXPECT_EQ(driver->triggerEvent(), EVENT_ID_NULL);
}

}  // namespace
