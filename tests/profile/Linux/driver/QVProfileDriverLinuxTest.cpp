// The kernel-module driver base and the qvprofile driver, the driver
// filesystem and the event-buffer readers against fixture driver roots: to
// the library a driver root is just a directory of small text files, the
// init script and modprobe are small shell scripts, and a "buffer" that is a
// plain file gives every rewinding read the same chunk again. Chunk copies
// go to a temporary directory of the fixture's own, so what they leave
// behind can be listed.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverPerfMonCounter.h"
#include "Linux/driver/QVPerfMonEventLinux.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "config/QVEventProfileConfig.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "notify/QVNotificationIds.h"
#include "support/ElfProbes.h"
#include "support/FixtureDriverRoot.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"
#include "system/QVTempFile.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::ReadWholeFile;
using Quorvel::test::ScratchDirectory;
using Quorvel::test::ThrownQVException;

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

// The shipped event list of architectural perfmon, and events placed on
// the lowest free counter of their mask.
TEST(QVProfileDriverLinux, LoadsTheShippedEventListAndPlacesEventsOnTheLowestFreeCounter) {
    FixtureModule module;
    module.facts("i386/arch_perfmon", 4, true);
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
    FixtureModule module;
    module.facts("timer", 0, false);
    TestDriver driver;
    ASSERT_TRUE(driver.init());
    // OS-timer intervals in timer ticks of 1 ms, never below one tick; each
    // differs from the one before, so every setup shows its own write.
    const struct {
        double interval;
        const char* timerCount;
    } cases[] = {{0.0005, "1"}, {0.01, "10"}, {0.001, "1"}};
    for (const auto& c : cases) {
        driver.setConfig(timerConfig(QVSessionConfig::TriggerTimerOS, c.interval));
        ASSERT_TRUE(driver.setup());
        EXPECT_EQ(module.read("timer_count"), c.timerCount) << c.interval;
        EXPECT_EQ(module.read("idle_poll"), "1");
        EXPECT_EQ(module.read("enable_kernel"), "1");
        ASSERT_TRUE(driver.shutdown());
        EXPECT_EQ(module.read("idle_poll"), "0");
    }

    // Timer mode offers the OS timer only.
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

namespace {

std::string bytesOf(const QVDriverEventWriter& w) {
    return std::string(w.bytes().begin(), w.bytes().end());
}

std::vector<std::string> NamesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    return names;
}

/// A driver root holding a 64-bit stream of `samples` plain samples, with an
/// optional tail appended to the chunk, and $TMPDIR pointed at `chunks`.
struct FixtureDriver {
    ScratchDirectory root{"qvdriverbuf"};
    ScratchDirectory chunks{"qvdriverchunks"};
    test::ScopedEnvironment tmpdir{"TMPDIR", chunks.path().c_str()};
    std::shared_ptr<QVDriverFilesystem> fs = std::make_shared<QVDriverFilesystem>(root.path());

    explicit FixtureDriver(uint64_t samples, void (*tail)(QVDriverEventWriter&) = nullptr) {
        QVDriverEventWriter w(true);
        w.control(OP_CTX_SWITCH_CODE, 1, 1);
        for (uint64_t i = 0; i < samples; ++i) w.entry(0x1000 + i, 0);
        if (tail) tail(w);
        FileWriteString(root.file("pointer_size"), "8\n");
        FileWriteString(root.file("buffer_size"), "65536\n");
        FileWriteString(root.file("buffer"), bytesOf(w));
    }
};

std::shared_ptr<QVSessionConfig> config(bool adaptive = false, uint64_t threshold = 0, bool limit = false,
                                        uint64_t sampleLimit = 0,
                                        QVSessionConfig::SampleLimitAction action = QVSessionConfig::SampleLimitActionStop) {
    auto c = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimer);
    c->adaptiveEnable = adaptive;
    c->adaptiveThreshold = threshold;
    c->sampleLimitEnable = limit;
    c->sampleLimit = sampleLimit;
    c->sampleLimitAction = action;
    return c;
}

// Kernels the lookup is tried on: one that still has the system call, one
// that dropped it, and one that refuses the cookie for another reason.
long kernelWithDcookies(uint64_t, char* buffer, size_t size) {
    const char path[] = "/usr/lib/kernel.so";
    if (size < sizeof path) return -1;
    std::memcpy(buffer, path, sizeof path);
    return long(sizeof path);
}
long kernelWithoutDcookies(uint64_t, char*, size_t) {
    errno = ENOSYS;
    return -1;
}
long kernelRefusingCookie(uint64_t, char*, size_t) {
    errno = EINVAL;
    return -1;
}

}  // namespace

TEST(QVDriverFilesystem, ReadsAndWritesEntriesBelowItsRoot) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_TRUE(FileWriteString(root.file("cpu_type"), "timer\n"));
    ASSERT_TRUE(FileWriteString(root.file("buffer_size"), " 131072\n"));
    ASSERT_TRUE(FileWriteString(root.file("junk"), "12ab\n"));
    QVDriverFilesystem fs(root.path());
    EXPECT_EQ(fs.path("enable"), root.path() + "/enable");
    EXPECT_TRUE(fs.exists("cpu_type"));
    EXPECT_FALSE(fs.exists("num_counters"));
    std::string text;
    ASSERT_TRUE(fs.readString("cpu_type", text));
    EXPECT_EQ(text, "timer\n");

    struct Case {
        const char* entry;
        bool readable;
        uint64_t value;
    };
    const Case cases[] = {{"buffer_size", true, 131072}, {"junk", false, 0}, {"missing", false, 0}};
    for (const Case& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(fs.readUnsigned(c.entry, value), c.readable) << c.entry;
        EXPECT_EQ(value, c.value) << c.entry;
    }

    EXPECT_TRUE(fs.writeInt("timer_count", -3));
    EXPECT_EQ(ReadWholeFile(root.file("timer_count")), "-3");
    EXPECT_TRUE(fs.writeInt("buffer_size", 4294967296ul));
    EXPECT_EQ(ReadWholeFile(root.file("buffer_size")), "4294967296");
    EXPECT_FALSE(fs.writeString("no/such/dir/entry", "1"));
}

TEST(QVDriverFilesystem, FileDescriptorsRewindTemporaryFilesGoAndFailuresAreReported) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_TRUE(FileWriteString(root.file("buffer"), "abcdef"));
    QVDriverFilesystem fs(root.path());
    int fd = 99;
    EXPECT_FALSE(fs.openFileDescriptor("missing", &fd));
    EXPECT_EQ(fd, -1);
    ASSERT_TRUE(fs.openFileDescriptor("buffer", &fd));
    char chunk[4];
    int done = -1;
    // With rewind every read starts at the beginning again.
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, true));
    EXPECT_EQ(std::string(chunk, size_t(done)), "abc");
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, true));
    EXPECT_EQ(std::string(chunk, size_t(done)), "abc");
    ASSERT_TRUE(fs.readFileDescriptor(fd, chunk, 3, &done, false));
    EXPECT_EQ(std::string(chunk, size_t(done)), "def");
    ASSERT_TRUE(fs.writeFileDescriptor(fd, "XY", 2, &done, true));
    EXPECT_EQ(done, 2);
    EXPECT_TRUE(fs.closeFileDescriptor(fd));
    EXPECT_EQ(ReadWholeFile(root.file("buffer")), "XYcdef");

    EXPECT_FALSE(fs.readFileDescriptor(-1, chunk, 3, &done, true));
    EXPECT_EQ(done, 0);
    EXPECT_FALSE(fs.closeFileDescriptor(fd));  // already closed
    EXPECT_EQ(fs.ioControl("missing", 0, 0), -5);

    std::string path;
    ASSERT_TRUE(fs.createTempFile(path));
    EXPECT_NE(path.find(QVDriverFilesystem::TEMP_FILE_PREFIX), std::string::npos);
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(fs.removeTempFile(path));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(fs.removeTempFile(path));
}

TEST(QVDriverFilesystem, DcookiesFallBackToTheDriverTableOnlyWithoutTheSystemCall) {
    ScratchDirectory root("qvdriverfs");
    ASSERT_EQ(mkdir(root.file("dcookies").c_str(), 0755), 0);
    ASSERT_TRUE(FileWriteString(root.file("dcookies/1f2e"), "/usr/bin/table-entry\n"));
    ASSERT_TRUE(FileWriteString(root.file("dcookies/7"), ""));
    QVDriverFilesystem fs(root.path());

    struct Case {
        QVDriverFilesystem::DcookieSyscall call;
        uint64_t cookie;
        bool found;
        const char* path;
        const char* warning;  // empty: no warning
    };
    const Case cases[] = {
        {kernelWithDcookies, 0x1f2e, true, "/usr/lib/kernel.so", ""},
        {kernelWithoutDcookies, 0x1f2e, true, "/usr/bin/table-entry", ""},
        {kernelWithoutDcookies, 0x1f2f, false, "", "lookup dcookie 0x1f2f failed (-1)"},
        {kernelWithoutDcookies, 0x7, false, "", "lookup dcookie 0x7 failed (-1)"},  // empty entry
        {kernelWithoutDcookies, 0, false, "", ""},  // cookie 0 never warns
        {kernelRefusingCookie, 0x1f2e, false, "", "lookup dcookie 0x1f2e failed (-1)"},
    };
    for (const Case& c : cases) {
        fs.setDcookieSyscall(c.call);
        std::string path;
        bool found = false;
        const std::string log = test::CaptureLog([&] { found = fs.lookupDcookie(c.cookie, path); });
        SCOPED_TRACE(std::to_string(c.cookie));
        EXPECT_EQ(found, c.found);
        EXPECT_EQ(path, c.path);
        if (*c.warning) {
            EXPECT_NE(log.find(c.warning), std::string::npos) << log;
        } else {
            EXPECT_EQ(log.find("WARNING"), std::string::npos) << log;
        }
    }
}

TEST(QVDriverBufferWindow, CopiesEachChunkToAFileOfItsOwnAndCountsSamples) {
    FixtureDriver driver(25);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_TRUE(buffer.is64());
    ASSERT_TRUE(buffer.open(config()));
    const int bytes = buffer.read();
    EXPECT_EQ(bytes, (4 + 25 * 2) * 8);
    EXPECT_EQ(buffer.read(), bytes);
    ASSERT_EQ(buffer.getFileBuffers().size(), 2u);
    const QVFileBufferId first = buffer.getFileBuffers()[0];
    EXPECT_EQ(first.records, 54u);
    EXPECT_EQ(first.samples, 25u);
    EXPECT_FALSE(first.corrupt);
    EXPECT_EQ(ReadWholeFile(first.path), ReadWholeFile(driver.root.file("buffer")));
    EXPECT_EQ(buffer.totalSamples(), 50u);
    EXPECT_EQ(buffer.recordCount(), 108u);
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    const std::weak_ptr<QVTempFile> held = first.file;
    buffer.close();
    EXPECT_FALSE(held.expired());  // the copy above still holds it
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
}

TEST(QVDriverBufferWindow, KeepsCorruptChunksAfterClose) {
    FixtureDriver driver(3, [](QVDriverEventWriter& w) {
        w.control(OP_CTX_SWITCH_CODE);
        w.word(7);
    });
    QVDriverBufferWindow buffer(driver.fs);
    ASSERT_TRUE(buffer.open(config()));
    std::string log = test::CaptureLog([&] { buffer.read(); });
    EXPECT_NE(log.find("buffer corrupted - unterminated CTX_SWITCH_CODE"), std::string::npos) << log;
    ASSERT_EQ(buffer.getFileBuffers().size(), 1u);
    const QVFileBufferId kept = buffer.getFileBuffers()[0];
    EXPECT_TRUE(kept.corrupt);
    EXPECT_EQ(kept.samples, 3u);
    EXPECT_TRUE(buffer.corrupted());
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    log = test::CaptureLog([&] { buffer.close(); });
    const std::vector<std::string> names = NamesIn(driver.chunks.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(log.find("] corrupt buffer kept in " + driver.chunks.file(names[0])), std::string::npos) << log;
    EXPECT_EQ(ReadWholeFile(driver.chunks.file(names[0])), ReadWholeFile(driver.root.file("buffer")));
}

// Stopping at the limit is the mounted driver's scripted sampler's case.
TEST(QVDriverBufferWindow, SampleLimitKeepsTheNewest) {
    {
        FixtureDriver driver(60);
        QVDriverBufferWindow buffer(driver.fs);
        ASSERT_TRUE(buffer.open(config(false, 0, true, 100, QVSessionConfig::SampleLimitActionWrap)));
        buffer.read();
        const std::weak_ptr<QVTempFile> oldest = buffer.getFileBuffers()[0].file;
        buffer.read();  // 120 > 100: the oldest of two goes
        EXPECT_EQ(buffer.getFileBuffers().size(), 1u);
        EXPECT_EQ(buffer.windowSamples(), 60u);
        EXPECT_TRUE(oldest.expired());
        EXPECT_EQ(buffer.totalSamples(), 120u);
    }
    {
        FixtureDriver driver(500);
        QVDriverBufferWindow buffer(driver.fs);
        ASSERT_TRUE(buffer.open(config(false, 0, true, 100, QVSessionConfig::SampleLimitActionWrap)));
        buffer.read();  // a single chunk is never deleted
        EXPECT_EQ(buffer.getFileBuffers().size(), 1u);
        EXPECT_EQ(buffer.windowSamples(), 500u);
    }
}

TEST(QVDriverBufferWindow, AsksForALongerIntervalPastTheAdaptiveThreshold) {
    FixtureDriver driver(60, [](QVDriverEventWriter& w) { w.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 4); });
    FileWriteString(driver.root.file("adapt"), "0");
    QVDriverBufferWindow buffer(driver.fs);
    ASSERT_TRUE(buffer.open(config(true, 50)));
    buffer.read();
    EXPECT_EQ(ReadWholeFile(driver.root.file("adapt")), "1");
    EXPECT_EQ(buffer.windowSamples(), 0u);
    EXPECT_EQ(buffer.totalSamples(), 60u);
    EXPECT_EQ(buffer.adaptFactor(), 4u);
}

TEST(QVDriverBufferWindow, RefusesInvalidSettings) {
    FixtureDriver driver(1);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid config"), std::string::npos);
    ASSERT_TRUE(buffer.open(config(true, 0)));
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid adaptive sampling threshold"),
              std::string::npos);
    ASSERT_TRUE(buffer.open(config(false, 0, true, 0)));
    EXPECT_NE(test::ThrownQVException([&] { buffer.read(); }).find("] invalid sample limit"), std::string::npos);
    ScratchDirectory empty("qvdriverbuf");
    QVDriverBufferWindow missing(std::make_shared<QVDriverFilesystem>(empty.path()));
    EXPECT_FALSE(missing.open(config()));
    EXPECT_NE(test::ThrownQVException([&] { missing.read(); }).find("] invalid file descriptor"), std::string::npos);
}

TEST(QVDriverBuffer, OverflowCountersAndDump) {
    FixtureDriver driver(1);
    QVDriverBufferWindow buffer(driver.fs);
    EXPECT_TRUE(buffer.bufferOverflowed());  // no counters to read
    ASSERT_EQ(mkdir(driver.root.file("stats").c_str(), 0755), 0);
    FileWriteString(driver.root.file("stats/event_lost_overflow"), "0\n");
    EXPECT_FALSE(buffer.bufferOverflowed());
    for (unsigned cpu = 0; cpu < LocalMachineProcessorCount(); ++cpu) {
        const std::string dir = driver.root.file("stats/cpu" + std::to_string(cpu));
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        FileWriteString(dir + "/sample_lost_overflow", "0\n");
    }
    EXPECT_FALSE(buffer.bufferOverflowed());
    const std::string last = "stats/cpu" + std::to_string(LocalMachineProcessorCount() - 1) + "/sample_lost_overflow";
    FileWriteString(driver.root.file(last), "3\n");
    // The last processor's counter counts too (processor 0's and the event
    // buffer's are the mounted driver's cases).
    const std::string log = test::CaptureLog([&] { EXPECT_TRUE(buffer.bufferOverflowed()); });
    EXPECT_NE(log.find("buffer has overflowed - 3 records have been lost."), std::string::npos) << log;

    // Without a "dump" entry the flush is a 4-byte write to the device.
    ASSERT_TRUE(buffer.open(config()));
    EXPECT_TRUE(buffer.dump());
    FileWriteString(driver.root.file("dump"), "0");
    EXPECT_TRUE(buffer.dump());
    EXPECT_EQ(ReadWholeFile(driver.root.file("dump")), "1");
}

TEST(QVDriverBufferSimple, AppendsEveryChunkUnreadToOneFile) {
    // The fixture device is a plain file: each rewinding read takes the
    // whole chunk again, so two reads leave it twice in the copy.
    FixtureDriver driver(5, [](QVDriverEventWriter& w) { w.control(OP_CTX_SWITCH_CODE, 9); });
    QVDriverBufferSimple buffer(driver.fs);
    EXPECT_EQ(ThrownQVException([&] { buffer.read(); }).rfind("[" + driver.root.path() + "] invalid file descriptor", 0), 0u);
    ASSERT_TRUE(buffer.open());
    const std::string chunk = ReadWholeFile(driver.root.file("buffer"));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.read(), int(chunk.size()));
    EXPECT_EQ(buffer.recordCount(), 2 * chunk.size() / 8);
    buffer.close();
    EXPECT_EQ(ReadWholeFile(buffer.getFile()), chunk + chunk);  // corrupt tail and all: the simple reader interprets nothing
    EXPECT_TRUE(NamesIn(driver.chunks.path()).empty());
    buffer.discardFile();
    EXPECT_EQ(buffer.getFile(), "");
}

// A recorder killed while it holds chunks leaves nothing in its temporary
// directory: the child reads three chunks, says so, and waits to be killed.
TEST(QVDriverBuffer, KilledReaderLeavesNoChunkFiles) {
    const std::vector<std::pair<const char*, std::function<std::unique_ptr<QVDriverBuffer>(FixtureDriver&)>>> readers = {
        {"simple", [](FixtureDriver& d) { return std::make_unique<QVDriverBufferSimple>(d.fs); }},
        {"window", [](FixtureDriver& d) { return std::make_unique<QVDriverBufferWindow>(d.fs); }},
    };
    for (const auto& reader : readers) {
        SCOPED_TRACE(reader.first);
        FixtureDriver driver(40);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = test::StartChild([&] {
            std::unique_ptr<QVDriverBuffer> buffer = reader.second(driver);
            auto* window = dynamic_cast<QVDriverBufferWindow*>(buffer.get());
            if (!(window ? window->open(config()) : buffer->open())) return 1;
            for (int chunk = 0; chunk < 3; ++chunk)
                if (buffer->read() <= 0) return 2;
            if (::write(ready[1], "r", 1) != 1) return 3;
            for (;;) ::pause();
        });
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        // An upper bound only: the child answers in milliseconds.
        const bool answered = ::poll(&wait, 1, 60000) == 1 && (wait.revents & POLLIN);
        ::kill(child, SIGKILL);
        EXPECT_EQ(test::WaitForChild(child), 128 + SIGKILL);
        ::close(ready[0]);
        ASSERT_TRUE(answered) << "the reader child did not take its chunks in";
        EXPECT_EQ(NamesIn(driver.chunks.path()), std::vector<std::string>{});
    }
}
