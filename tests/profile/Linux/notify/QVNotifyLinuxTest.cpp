// The notify driver and notifier against a fixture driver root: the driver's
// files below dev/qvnotify, the task-exit stream as the "buffer" file, and
// the driver's cookie table naming a real ELF file (this test program).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVDriverModule.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "Linux/notify/QVNotifyLinux.h"
#include "Linux/notify/QVTaskExitStream.h"
#include "ids/QVFileId.h"
#include "ids/QVSystemId.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "notify/QVNotificationIds.h"
#include "symbols/QVModule.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSection.h"
#include "symbols/elf/QVElfHeader.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"
#include "system/QVSystemPaths.h"
#include "time/QVTime.h"
#include "support/FixtureDriverRoot.h"
#include "support/TestSupport.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::ScratchDirectory;

namespace {

/// A loaded qvnotify driver's files below a fixture root.
struct FixtureDriver : test::FixtureDriverRoot {
    FixtureDriver() : FixtureDriverRoot("qvnotify") {}
    void loaded() const {
        for (const char* entry : {"pointer_size", "buffer_size", "buffer_watershed", "enable"}) write(entry, "0\n");
        write("pointer_size", "8\n");
        write("stats/event_lost_overflow", "0\n");
        write("dump", "");
        write("buffer", "");
    }
};

// A device that hands over the fixture stream once and then has nothing:
// what the driver does for a recording in which these tasks exited.
class OnceBuffer : public QVDriverBufferSimple {
public:
    using QVDriverBufferSimple::QVDriverBufferSimple;
    int read() override {
        if (done_) return 0;
        done_ = true;
        return QVDriverBufferSimple::read();
    }

private:
    bool done_ = false;
};

long kernelWithoutDcookies(uint64_t, char*, size_t) {
    errno = ENOSYS;
    return -1;
}

std::string ThisProgram() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

}  // namespace

TEST(QVNotifyDriverLinux, DefaultBufferFollowsMemorySize) {
    const struct {
        uint64_t memory;
        uint64_t size;
        uint64_t watershed;
    } cases[] = {
        {2ull << 30, 1048576, 262144},
        {512ull << 20, 131072, 32768},
        {0x3FFFFFFF, 131072, 32768},  // the large buffer needs more than this
        {0x40000000, 1048576, 262144},
    };
    for (const auto& c : cases) {
        uint64_t size = 0, watershed = 0;
        QVNotifyDriverLinux::defaultBufferConfigFor(c.memory, size, watershed);
        EXPECT_EQ(size, c.size) << c.memory;
        EXPECT_EQ(watershed, c.watershed) << c.memory;
    }
}

TEST(QVNotifyDriverLinux, InitWritesTheBufferInWordsAndReportsAMissingDriver) {
    FixtureDriver fixture;
    QVNotifyDriverLinux driver(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
    EXPECT_EQ(driver.name(), "qvnotify");
    EXPECT_FALSE(driver.isLoaded());
    EXPECT_FALSE(driver.init());
    QVErrorManager errors;
    driver.getEnvironmentErrors(errors, false);
    ASSERT_EQ(errors.errorIds(), std::vector<std::string>{QVNotifyDriverErrorNoDriver});
    std::ostringstream message;
    ASSERT_TRUE(driver.getErrorMessage(message, QVNotifyDriverErrorNoDriver));
    EXPECT_EQ(message.str().rfind("The process exit notification kernel driver is not installed.\n"
                                  "       To install the required kernel drivers, open a terminal and type:\n"
                                  "       > su root\n       > ",
                                  0),
              0u)
        << message.str();
    EXPECT_NE(message.str().find("setup/install_driver.sh"), std::string::npos);

    fixture.loaded();
    ASSERT_TRUE(driver.init());
    EXPECT_EQ(driver.wordSize(), 8u);
    uint64_t size = 0, watershed = 0, expectedSize = 0, expectedWatershed = 0;
    driver.getDefaultBufferConfig(expectedSize, expectedWatershed);
    EXPECT_EQ(fixture.read("buffer_size"), std::to_string(expectedSize / 8));
    EXPECT_EQ(fixture.read("buffer_watershed"), std::to_string(expectedWatershed / 8));
    driver.getBufferConfig(size, watershed);
    EXPECT_EQ(size, expectedSize);
    EXPECT_EQ(watershed, expectedWatershed);
    driver.getEnvironmentErrors(errors, false);
    EXPECT_TRUE(errors.errorIds().empty());
}

TEST(QVNotifyDriverLinux, AvailabilityAsksModprobeAndTheInitScript) {
    ScratchDirectory tools("qvmodprobe");
    const std::string yes = tools.file("yes"), no = tools.file("no");
    FileWriteString(yes, "#!/bin/sh\nexit 0\n");
    FileWriteString(no, "#!/bin/sh\nexit 1\n");
    ::chmod(yes.c_str(), 0755);
    ::chmod(no.c_str(), 0755);
    const struct {
        const char* modprobe;
        bool script;
        bool disabled;
        bool expected;
    } cases[] = {
        {"yes", true, false, true},
        {"no", true, false, false},
        {"yes", false, false, false},
        {"yes", true, true, false},  // QV_DISABLE_QVNOTIFY_DRIVER
    };
    for (const auto& c : cases) {
        FixtureDriver fixture;
        if (c.script) fixture.initScript("#!/bin/sh\nexit 0\n");
        QVDriverModule::setModprobePath(tools.file(c.modprobe));
        QVNotifyDriverLinux::disabled_ = c.disabled;
        QVNotifyDriverLinux driver(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
        EXPECT_EQ(driver.isAvailable(), c.expected) << c.modprobe << " " << c.script << " " << c.disabled;
    }
    QVDriverModule::setModprobePath("");
    QVNotifyDriverLinux::disabled_ = false;
}

TEST(QVNotifyLinux, RegistersExitedTasksWithTheirExecutableModules) {
    const std::string program = ThisProgram();
    ASSERT_FALSE(program.empty());
    FixtureDriver fixture;
    fixture.loaded();
    // The driver names the program as a deleted file: the suffix goes.
    fixture.write("dcookies/a1", program + " (deleted)\n");
    fixture.write("dcookies/a2", "/dev/zero\n");

    // A pid beyond any pid_max, starting 3.5 s after boot, so no live
    // process shares its id.
    const uint64_t tgid = 5000001, tid2 = 5000002;
    const uint64_t base = 0x10000000;
    QVDriverEventWriter w(true);
    auto record = [&w](uint64_t pid, uint64_t tid, const std::string& command,
                       const std::vector<std::vector<uint64_t>>& maps) {
        // The command name's bytes fill two words, NUL-padded.
        char name[16] = {};
        command.copy(name, sizeof name);
        uint64_t words[2];
        std::memcpy(words, name, sizeof words);
        w.control(RECORD_BEGIN);
        w.control(THREAD_INFO_BEGIN);
        for (uint64_t word : {pid, tid, words[0], words[1], uint64_t(3), uint64_t(500000000), uint64_t(9),
                              uint64_t(250000000)}) {
            w.word(word);
        }
        w.control(THREAD_INFO_END);
        w.control(MODULE_LIST_BEGIN);
        w.word(maps.size());
        for (const auto& m : maps) {
            for (uint64_t word : m) w.word(word);
        }
        w.control(MODULE_LIST_END);
        w.control(RECORD_END);
    };
    record(tgid, tgid, "exactly15bytes!",
           {{base, base + 0x100000, 0x5, 0xa1, 0},        // the program's code
            {base + 0x200000, base + 0x201000, 0x1, 0xa1, 0},    // its data: not executable
            {base + 0x300000, base + 0x300000, 0x4, 0xa1, 0},  // empty range
            {base + 0x400000, base + 0x401000, 0x4, 0xbad, 0},  // a cookie the driver does not know
            {base + 0x500000, base + 0x501000, 0x4, 0xa2, 0}});  // a device
    record(tgid, tid2, "helper", {});
    w.control(RECORD_BEGIN);
    w.control(RECORD_BEGIN);  // corrupt: begun twice
    fixture.write("buffer", std::string(w.bytes().begin(), w.bytes().end()));

    auto driver = std::make_shared<QVNotifyDriverLinux>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY,
                                                        "/dev/qvnotify");
    driver->filesystem()->setDcookieSyscall(kernelWithoutDcookies);
    ASSERT_TRUE(driver->init());
    QVNotifyLinux notify(driver, std::make_unique<OnceBuffer>(driver->filesystem()));
    ASSERT_TRUE(notify.start());
    EXPECT_TRUE(notify.isActive());
    EXPECT_EQ(fixture.read("enable"), "1");
    std::string log;
    log = CaptureLog([&] { EXPECT_TRUE(notify.stop()); });
    EXPECT_FALSE(notify.isActive());
    EXPECT_EQ(fixture.read("enable"), "0");

    QVErrorManager errors;
    notify.getSessionErrors(errors, false);
    EXPECT_EQ(errors.warningIds(), std::vector<std::string>{QVNotifyWarningBufferCorrupt});
    EXPECT_NE(log.find("buffer corrupted (RECORD_BEGIN) - record:1 info:0 moduleList:0"), std::string::npos) << log;
    EXPECT_NE(log.find("skipping non-executable module (vm_flags=0x1)"), std::string::npos) << log;
    EXPECT_NE(log.find("skipping module with invalid address range 0x10300000..0x10300000"), std::string::npos)
        << log;
    EXPECT_NE(log.find("no module for cookie: 2989"), std::string::npos) << log;  // 0xbad

    // Ids as discovery makes them: start time rounded down to a clock tick.
    const uint64_t hz = uint64_t(sysconf(_SC_CLK_TCK));
    const uint64_t start = LocalMachineBootTime() + (3 * hz + hz / 2) * (1000000000 / hz);
    const QVProcessId processId = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), tgid, start);
    const std::shared_ptr<QVProcess> process = QVProcess::processWithId(processId, false, false);
    ASSERT_TRUE(process);
    EXPECT_EQ(process->exitTime(), NanosToUniversalTime(LocalMachineBootTime() + 9250000000ull));
    EXPECT_EQ(process->name(), "exactly15bytes!");  // the leader names the process
    for (const auto& thread : {std::make_pair(tgid, "exactly15bytes!"), std::make_pair(tid2, "helper")}) {
        const auto& registered = QVThread::threadWithId(QVThreadId::uniqueThreadId(processId, thread.first, start),
                                                        false, false);
        ASSERT_TRUE(registered) << thread.first;
        EXPECT_EQ(registered->name(), thread.second);
    }

    // The program's executable sections sit where its code was mapped.
    QVElfHeader header(program, 0);
    const std::shared_ptr<QVModule>& module =
        QVModule::moduleWithId(QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(program), header.architecture()));
    ASSERT_TRUE(module);
    unsigned placed = 0;
    for (const std::shared_ptr<QVSection>& section : module->sections()) {
        if (!section->isExecutable() || section->addressRange().length == 0) continue;
        const unsigned long address = base + section->addressRange().location - module->baseAddress();
        EXPECT_EQ(process->sectionMap().valueForLocation(address, false), section) << section->name();
        ++placed;
    }
    EXPECT_GT(placed, 0u);
    // Nothing of the device or the unknown cookie was mapped.
    EXPECT_FALSE(process->sectionMap().containsValueForLocation(base + 0x400000));
    EXPECT_FALSE(process->sectionMap().containsValueForLocation(base + 0x500000));
}

TEST(QVNotifyDriver, RegistryOffersThePlatformDriverOnlyWhenAvailable) {
    FixtureDriver fixture;
    ScratchDirectory tools("qvmodprobe");
    const std::string yes = tools.file("yes");
    FileWriteString(yes, "#!/bin/sh\nexit 0\n");
    ::chmod(yes.c_str(), 0755);
    fixture.initScript("#!/bin/sh\nexit 0\n");
    fixture.loaded();
    auto driver = std::make_shared<QVNotifyDriverLinux>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY,
                                                        "/dev/qvnotify");
    const struct {
        const char* modprobe;
        const char* defaultId;
    } cases[] = {
        {"yes", "notify.driver.linux.qvnotify"},
        {"no-such-modprobe", "notify.driver.unknown"},
    };
    for (const auto& c : cases) {
        QVDriverModule::setModprobePath(tools.file(c.modprobe));
        QVNotifyDriver::registerBackend([driver] { return driver; });
        EXPECT_EQ(QVNotifyDriver::availableDrivers().size(), 1u);
        EXPECT_EQ(QVNotifyDriver::defaultDriverId(), c.defaultId);
        EXPECT_TRUE(QVNotifyDriver::setDefaultDriverId(c.defaultId));
        const std::string log = CaptureLog([] { EXPECT_FALSE(QVNotifyDriver::setDefaultDriverId("notify.driver.x")); });
        EXPECT_NE(log.find("failed to set notify driver to 'notify.driver.x'"), std::string::npos) << log;
    }
    QVDriverModule::setModprobePath("");
    QVNotifyDriver::registerBackend([] { return std::shared_ptr<QVNotifyDriver>(QVNotifyDriverLinux::defaultDriver()); });
    // The platform's notifier is the process-wide one.
    EXPECT_TRUE(std::dynamic_pointer_cast<QVNotifyLinux>(QVNotify::defaultNotify()));
}

TEST(QVNotifyLinux, StartNeedsTheBufferAndAbortRegistersNothing) {
    FixtureDriver fixture;
    auto driver = std::make_shared<QVNotifyDriverLinux>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY,
                                                        "/dev/qvnotify");
    {
        // No driver files at all: nothing to read from.
        QVNotifyLinux notify(driver);
        bool started = true;
        const std::string log = CaptureLog([&] { started = notify.start(); });
        EXPECT_FALSE(started);
        EXPECT_FALSE(notify.isActive());
        EXPECT_NE(log.find("failed to open buffer."), std::string::npos) << log;
        EXPECT_NE(log.find("Please check that the kernel drivers are installed properly"), std::string::npos);
        EXPECT_FALSE(notify.stop());  // never started
    }

    fixture.loaded();
    QVDriverEventWriter w(true);
    const uint64_t tgid = 5000101;  // beyond any pid_max
    w.control(RECORD_BEGIN);
    w.control(THREAD_INFO_BEGIN);
    for (uint64_t word : {tgid, tgid, uint64_t(0), uint64_t(0), uint64_t(4), uint64_t(0), uint64_t(5), uint64_t(0)}) {
        w.word(word);
    }
    w.control(THREAD_INFO_END);
    w.control(RECORD_END);
    fixture.write("buffer", std::string(w.bytes().begin(), w.bytes().end()));
    ASSERT_TRUE(driver->init());
    QVNotifyLinux notify(driver, std::make_unique<OnceBuffer>(driver->filesystem()));
    ASSERT_TRUE(notify.start());
    EXPECT_FALSE(notify.start());  // already monitoring
    notify.abort();
    EXPECT_FALSE(notify.isActive());
    EXPECT_EQ(fixture.read("enable"), "0");
    EXPECT_FALSE(QVProcess::processWithNativeIdentifier(int(tgid), false, false));
}
