// The kernel-module driver base and the qvprofile driver against fixture
// driver roots: a driver root is a plain directory to the library, the init
// script and modprobe are small shell scripts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverPerfMonCounter.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "base/QVErrorManager.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "notify/QVNotificationIds.h"
#include "support/FixtureDriverRoot.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;

namespace {

/// A loaded module's files below a fixture root ("dev/qvprofile").
struct FixtureModule : test::FixtureDriverRoot {
    FixtureModule() : FixtureDriverRoot("qvprofile") {}

    /// The facts a module publishes, with `counters` counter directories
    /// named as the module names them ("pmcN" or "N").
    void facts(const std::string& cpuType, unsigned counters, bool pmcNames, bool numCounters = true) {
        write("cpu_type", cpuType + "\n");
        write("cpu_khz", "2000000\n");
        write("pointer_size", "8\n");
        write("timer_freq", "1000\n");
        if (numCounters) write("num_counters", std::to_string(counters) + "\n");
        for (const char* setting : {"backtrace_depth", "buffer_size", "buffer_watershed", "cpu_buffer_size",
                                    "idle_poll", "enable_kernel", "enable_user", "timer_count"}) {
            write(setting, "0\n");
        }
        for (unsigned i = 0; i < counters; ++i) {
            const std::string name = (pmcNames ? "pmc" : "") + std::to_string(i);
            ::mkdir(file(name).c_str(), 0755);
        }
    }
};

/// A qvprofile driver whose generic cycles event the test chooses.
class TestDriver : public QVProfileDriverLinuxQVProfile {
public:
    TestDriver() : QVProfileDriverLinuxQVProfile(QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, "/dev/qvprofile") {}
    void setCycles(uint64_t minCount, uint64_t minCountCallStack, uint64_t maxCount) {
        cyclesEvent_ = std::make_shared<QVPerfMonEventLinux>(EVENT_ID_CPU_CYCLES, 0xf, 0x3c, 0, 0, minCount,
                                                             minCountCallStack, maxCount);
    }
    using QVProfileDriverLinux::_layoutEvent;
};

std::shared_ptr<QVSessionConfig> timerConfig(QVSessionConfig::Trigger trigger, double interval) {
    auto config = std::make_shared<QVSessionConfig>(trigger);
    config->timerConfig->interval = interval;
    return config;
}

}  // namespace

TEST(QVProfileDriverLinux, DetectsTheProcessorFromCpuType) {
    const struct {
        const char* cpuType;
        QVProcessor expected;
    } cases[] = {
        {"timer", QVProcessorTimer},
        {"i386/arch_perfmon", QVProcessorArchPerfMon},
        {"i386/nehalem", QVProcessorCoreI7},  // both names of one processor
        {"i386/core_i7", QVProcessorCoreI7},
        {"x86-64/athlon64", QVProcessorHammer},
        {"ppc64/power5++", QVProcessorPower5pp},
        {"arm/armv7-ca9", QVProcessorARMv7},
        {"i386/no_such_model", QVProcessorUnknown},
        {"core_2", QVProcessorUnknown},  // no family
    };
    for (const auto& c : cases) EXPECT_EQ(QVProfileDriverLinux::processorForCpuType(c.cpuType), c.expected) << c.cpuType;
}

TEST(QVProfileDriverLinux, InitReadsTheModuleAndWritesItsBuffers) {
    // Each case: counter directories named "pmcN" or "N", with or without
    // "num_counters" (counted from consecutive entries then).
    const struct {
        bool pmcNames;
        bool numCounters;
        uint64_t expectedCounters;
        const char* firstName;
    } cases[] = {{true, true, 4, "pmc0"}, {false, false, 4, "0"}, {false, true, 4, "0"}};
    for (const auto& c : cases) {
        FixtureModule module;
        module.facts("i386/arch_perfmon", 4, c.pmcNames, c.numCounters);
        TestDriver driver;
        EXPECT_TRUE(driver.isLoaded());
        ASSERT_TRUE(driver.init());
        EXPECT_EQ(driver.processor(), QVProcessorArchPerfMon);
        EXPECT_EQ(driver.processorFrequency(), 2000000000u);
        EXPECT_DOUBLE_EQ(driver.jiffy(), 0.001);
        EXPECT_EQ(driver.bufferUnit(), 8u);
        EXPECT_EQ(driver.pmcCount(), c.expectedCounters);
        ASSERT_EQ(driver.counters().size(), c.expectedCounters);
        EXPECT_EQ(driver.counters()[0]->name(), c.firstName);
        // Counters start free and written all zero.
        EXPECT_EQ(module.read(std::string(c.firstName) + "/enabled"), "0");
        // 1 MiB of 8-byte entries, 192 KiB of 24-byte per-processor entries.
        EXPECT_EQ(module.read("buffer_size"), "131072");
        EXPECT_EQ(module.read("buffer_watershed"), "32768");
        EXPECT_EQ(module.read("cpu_buffer_size"), "8192");
        uint64_t size, watershed, cpuSize;
        driver.getBufferConfig(size, watershed, cpuSize);
        EXPECT_EQ(size, 0x100000u);
        EXPECT_EQ(cpuSize, 0x30000u);
        EXPECT_TRUE(driver.osTimeSamplingSupported());

        // Unchanged buffer settings write nothing.
        FileRemove(module.file("buffer_size"));
        driver.setBufferConfig(size, watershed, cpuSize);
        EXPECT_FALSE(FileExists(module.file("buffer_size")));

        driver.setCollectCallstacks(true);
        EXPECT_EQ(module.read("backtrace_depth"), "512");
        EXPECT_TRUE(driver.collectCallstacks());
        driver.setCollectCallstacks(false);
        EXPECT_EQ(module.read("backtrace_depth"), "0");
    }
}

TEST(QVProfileDriverLinux, WithoutAModuleOrEventListNothingInitialises) {
    FixtureModule module;
    TestDriver driver;
    EXPECT_FALSE(driver.isLoaded());
    EXPECT_FALSE(driver.init());
    EXPECT_TRUE(driver.unload());  // nothing to unload
    // A processor without a shipped event list cannot program counters.
    module.facts("i386/core_2", 2, true);
    const std::string log = CaptureLog([&] { EXPECT_FALSE(driver.init()); });
    EXPECT_NE(log.find("[qvprofile] failed to find event list"), std::string::npos) << log;
}

TEST(QVProfileDriverLinux, PlacesEventsOnTheLowestFreeCounterOfTheirMask) {
    FixtureModule module;
    module.facts("i386/arch_perfmon", 4, true);
    TestDriver driver;
    ASSERT_TRUE(driver.init());
    auto event = std::make_shared<QVPerfMonEventLinux>(EVENT_ID_CPU_BRANCH_MISPREDICTS, 0x6, 0xc5, 0, 0x2, 0, 0, 100);
    EXPECT_TRUE(driver._layoutEvent(event, 1000));
    EXPECT_TRUE(driver._layoutEvent(event, 2000));
    std::string log = CaptureLog([&] { EXPECT_FALSE(driver._layoutEvent(event, 3000)); });
    EXPECT_NE(log.find("unable to find an available counter for event:"), std::string::npos) << log;
    EXPECT_FALSE(driver.counters()[0]->enabled());
    EXPECT_EQ(driver.counters()[1]->count(), 1000u);
    EXPECT_EQ(driver.counters()[2]->count(), 2000u);
    log = CaptureLog([&] { EXPECT_FALSE(driver._layoutEvent(nullptr, 1)); });
    EXPECT_NE(log.find("[qvprofile] unable to set null event"), std::string::npos) << log;

    // Programming a counter writes count, enabled, event, kernel, unit mask, user.
    driver.counters()[1]->configure();
    const char* expected[][2] = {{"count", "1000"}, {"enabled", "1"}, {"event", "197"},
                                 {"kernel", "1"},   {"unit_mask", "2"}, {"user", "1"}};
    for (const auto& entry : expected) EXPECT_EQ(module.read(std::string("pmc1/") + entry[0]), entry[1]) << entry[0];
    // A counter whose files cannot be written raises.
    ASSERT_EQ(std::system(("rm -rf " + module.file("pmc3")).c_str()), 0);
    FileWriteString(module.file("pmc3"), "not a directory");
    EXPECT_NE(test::ThrownQVException([&] { driver.counters()[3]->reset(); }).find("Failed to reset counter pmc3"),
              std::string::npos);
}

TEST(QVProfileDriverLinux, TimerModeProgramsTheTimerAndOffersItOnly) {
    // OS-timer intervals in timer ticks of 1 ms, never below one tick.
    const struct {
        double interval;
        const char* timerCount;
    } cases[] = {{0.01, "10"}, {0.001, "1"}, {0.0005, "1"}};
    for (const auto& c : cases) {
        FixtureModule module;
        module.facts("timer", 0, false);
        TestDriver driver;
        ASSERT_TRUE(driver.init());
        driver.setConfig(timerConfig(QVSessionConfig::TriggerTimerOS, c.interval));
        ASSERT_TRUE(driver.setup());
        EXPECT_EQ(module.read("timer_count"), c.timerCount) << c.interval;
        EXPECT_EQ(module.read("idle_poll"), "1");
        EXPECT_EQ(module.read("enable_kernel"), "1");
        ASSERT_TRUE(driver.shutdown());
        EXPECT_EQ(module.read("idle_poll"), "0");
    }

    // Timer mode offers the OS timer only.
    FixtureModule module;
    module.facts("timer", 0, false);
    TestDriver driver;
    ASSERT_TRUE(driver.init());
    QVErrorManager errors;
    driver.setConfig(timerConfig(QVSessionConfig::TriggerTimer, 0.001));
    driver.getConfigErrors(errors, false);
    EXPECT_TRUE(errors.testErrorId(QVProfileDriverErrorTriggerNotAvailable));
    driver.setConfig(timerConfig(QVSessionConfig::TriggerTimerOS, 0.001));
    driver.getConfigErrors(errors, false);
    EXPECT_FALSE(errors.testErrorId(QVProfileDriverErrorTriggerNotAvailable));
    const std::string log = CaptureLog([&] {
        driver.setConfig(timerConfig(QVSessionConfig::TriggerEvent, 0.001));
        EXPECT_FALSE(driver.setup());
    });
    EXPECT_NE(log.find("[qvprofile] no trigger event with identifier"), std::string::npos) << log;
}

TEST(QVProfileDriverLinux, WarnsOfACpuTimerIntervalBelowTheEventMinimum) {
    FixtureModule module;
    module.facts("i386/arch_perfmon", 2, true);
    TestDriver driver;
    ASSERT_TRUE(driver.init());
    driver.setCollectCallstacks(false);
    // 2 GHz: 0.5 ms is 1,000,000 cycles, below a minimum of 2,000,000 (1 ms).
    driver.setCycles(2000000, 4000000, 1ull << 40);
    driver.setConfig(timerConfig(QVSessionConfig::TriggerTimer, 0.0005));
    std::ostringstream message;
    ASSERT_TRUE(driver.getWarningMessage(message, QVProfileDriverLinuxWarningTriggerIntervalTooSmall));
    EXPECT_NE(message.str().find("set the timer interval to be greater\n         than 1.000000ms."), std::string::npos)
        << message.str();
    driver.setCollectCallstacks(true);
    std::ostringstream withStacks;
    driver.getWarningMessage(withStacks, QVProfileDriverLinuxWarningTriggerIntervalTooSmall);
    EXPECT_NE(withStacks.str().find("than 2.000000ms or disable the collection of callstacks."), std::string::npos)
        << withStacks.str();

    QVErrorManager errors;
    driver.getConfigErrors(errors, false);
    if (LocalMachineIsVM()) {
        // CPU-timer sampling is refused outright on a virtual machine.
        EXPECT_TRUE(errors.testErrorId(QVProfileDriverErrorIncompatibleConfig));
        return;
    }
    EXPECT_TRUE(errors.testWarningId(QVProfileDriverLinuxWarningTriggerIntervalTooSmall));
    driver.setCycles(1, 1, 100);
    driver.getConfigErrors(errors, false);
    EXPECT_TRUE(errors.testErrorId(QVProfileDriverLinuxErrorTriggerIntervalTooLarge));
    std::ostringstream large;
    EXPECT_TRUE(driver.getErrorMessage(large, QVProfileDriverLinuxErrorTriggerIntervalTooLarge));
    EXPECT_EQ(large.str(), "The selected sampling interval is too large.");
}

TEST(QVProfileDriverLinuxQVProfile, LoadsTheShippedEventListForArchitecturalPerfmon) {
    FixtureModule module;
    module.facts("i386/arch_perfmon", 2, true);
    TestDriver driver;
    ASSERT_TRUE(driver.init()) << QVProfileDriverLinuxQVProfile::eventListPath(QVProcessorArchPerfMon);
    ASSERT_TRUE(driver.eventList());
    EXPECT_EQ(driver.eventList()->processor(), QVProcessorArchPerfMon);
    for (const QVPerfMonEventId* id : {&EVENT_ID_CPU_CYCLES, &EVENT_ID_CPU_INSTRUCTIONS_COMPLETED,
                                       &EVENT_ID_CPU_LAST_LEVEL_CACHE_MISSES, &EVENT_ID_CPU_BRANCH_INSTRUCTIONS,
                                       &EVENT_ID_CPU_BRANCH_MISPREDICTS}) {
        EXPECT_EQ(driver.events().count(*id), 1u) << id->identifier();
    }
    // The architectural events that every such processor counts.
    EXPECT_EQ(driver.eventList()->eventWithIdentifier(EVENT_ID_CPU_CYCLES)->eventSelect(), 0x3cu);
    EXPECT_EQ(driver.eventList()->eventWithIdentifier(EVENT_ID_CPU_BRANCH_MISPREDICTS)->eventSelect(), 0xc5u);
    EXPECT_TRUE(driver.disablePowerManagementSupported());
    // Only the first ":" of a processor's name becomes "-".
    EXPECT_EQ(PathBaseName(QVProfileDriverLinuxQVProfile::eventListPath(QVProcessorArchPerfMon)),
              "i386-arch_perfmon.xml");
}

TEST(QVProfileDriverLinuxQVProfile, AvailabilityAskModprobeAndTheInitScript) {
    const struct {
        bool modprobeFinds;
        bool script;
        const char* release;
        bool disabled;
        bool expected;
    } cases[] = {
        {true, true, "6.1.0-18-amd64", false, true},
        {false, true, "6.1.0-18-amd64", false, false},
        {true, false, "6.1.0-18-amd64", false, false},
        {true, true, "2.6.32-5-xen", false, false},     // a Xen kernel
        {true, true, "2.6.32-xen-5", false, true},      // "xen" only in the middle
        {true, true, "6.1.0-18-amd64", true, false},    // QV_DISABLE_QVPROFILE_DRIVER
    };
    for (const auto& c : cases) {
        FixtureModule module;
        if (c.script) module.initScript("#!/bin/sh\nexit 0\n");
        QVProfileDriverLinux::setModprobePath(module.modprobe(c.modprobeFinds));
        const std::string release = c.release;
        QVProfileDriverLinuxQVProfile::setKernelReleaseSource([release] { return release; });
        QVProfileDriverLinuxQVProfile::disabled_ = c.disabled;
        TestDriver driver;
        EXPECT_EQ(driver.isAvailable(), c.expected) << c.modprobeFinds << " " << c.script << " " << c.release;
    }
    QVProfileDriverLinux::setModprobePath("");
    QVProfileDriverLinuxQVProfile::setKernelReleaseSource(nullptr);
    QVProfileDriverLinuxQVProfile::disabled_ = false;
}

TEST(QVProfileDriverLinuxQVProfile, LoadAndUnloadRunTheInitScript) {
    FixtureModule module;
    const std::string log = module.root.file("script.log");
    // "start" publishes cpu_type unless told to fail; "stop" removes it.
    module.initScript("#!/bin/sh\necho \"$@\" >> " + log + "\ncase \"$1\" in\n"
                            "start) [ \"$2\" = fail ] && exit 3; mkdir -p " + module.dir() + " && echo timer > " +
                                module.file("cpu_type") + " ;;\n"
                            "stop) rm -f " + module.file("cpu_type") + " ;;\nesac\nexit 0\n");
    TestDriver driver;
    EXPECT_FALSE(driver.load({"fail"}));
    EXPECT_FALSE(driver.isLoaded());
    ASSERT_TRUE(driver.load({}));
    EXPECT_TRUE(driver.isLoaded());
    EXPECT_TRUE(driver.load({}));  // already loaded: the script is not run again
    ASSERT_TRUE(driver.init());
    EXPECT_EQ(driver.processor(), QVProcessorTimer);
    EXPECT_TRUE(driver.unload());
    EXPECT_FALSE(driver.isLoaded());
    std::string calls;
    FileReadString(log, calls);
    EXPECT_EQ(calls, "start fail\nstop\nstart\nstop\n");
}
