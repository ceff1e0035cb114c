// The task-exit stream, scripted and read back through the mapped cursor as
// the notifier reads its buffer copy; then the notify driver and notifier
// against a fixture driver root: the driver's files below dev/qvnotify, the
// stream as the "buffer" file, and the driver's cookie table naming a real
// ELF file (this test program).
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverBufferCursor.h"
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

// A complete exit record of task tgid/tid: the command name's bytes fill two
// NUL-padded words; the times (start seconds and nanoseconds, then exit) are
// distinct so a swapped word shows.
void exitRecord(QVDriverEventWriter& w, uint64_t tgid, uint64_t tid, const std::vector<QVTaskExitMapping>& maps = {},
                const std::string& command = "task", const std::array<uint64_t, 4>& times = {100, 200, 300, 400}) {
    char name[16] = {};
    command.copy(name, sizeof name);
    uint64_t words[2];
    std::memcpy(words, name, sizeof words);
    w.control(RECORD_BEGIN);
    w.control(THREAD_INFO_BEGIN);
    for (uint64_t word : {tgid, tid, words[0], words[1], times[0], times[1], times[2], times[3]}) w.word(word);
    w.control(THREAD_INFO_END);
    w.control(MODULE_LIST_BEGIN);
    w.word(maps.size());
    for (const QVTaskExitMapping& m : maps) {
        for (uint64_t word : {m.start, m.end, m.flags, m.cookie, m.offset}) w.word(word);
    }
    w.control(MODULE_LIST_END);
    w.control(RECORD_END);
}

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

std::shared_ptr<QVNotifyDriverLinux> NotifyDriver() {
    return std::make_shared<QVNotifyDriverLinux>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
}

long kernelWithoutDcookies(uint64_t, char*, size_t) {
    errno = ENOSYS;
    return -1;
}

using Script = std::function<void(QVDriverEventWriter&)>;

const QVTaskExitMapping kText{0x400000, 0x401000, 0x5, 0x11, 0x1000};

struct Parsed {
    std::vector<QVTaskExitRecord> records;
    std::vector<std::string> faults;
    bool corrupt = false;
};

Parsed parse(const Script& script, bool is64) {
    QVDriverEventWriter writer(is64);
    script(writer);
    ScratchDirectory dir("qvtaskexit");
    const std::string path = dir.file("buffer");
    EXPECT_TRUE(FileWriteString(path, std::string(writer.bytes().begin(), writer.bytes().end())));
    std::string error;
    auto cursor = QVDriverBufferCursorMapped::open(path, is64, error);
    Parsed parsed;
    if (!cursor) {
        // An empty file cannot be mapped; it holds no records either.
        EXPECT_TRUE(writer.bytes().empty()) << error;
        return parsed;
    }
    QVTaskExitStreamParser parser(*cursor, is64, [&](const std::string& line) { parsed.faults.push_back(line); });
    QVTaskExitRecord record;
    while (parser.next(record)) parsed.records.push_back(record);
    parsed.corrupt = parser.corrupt();
    return parsed;
}

std::string ThisProgram() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

}  // namespace

TEST(QVTaskExitStream, RecordsSurviveEveryKindOfFaultAroundThem) {
    struct Case {
        const char* name;
        Script script;
        std::vector<uint64_t> tids;  // of the records that come out, in order
        const char* fault;           // the one fault line; empty: none
    };
    const Case cases[] = {
        {"empty stream", [](QVDriverEventWriter&) {}, {}, ""},
        {"two records", [](QVDriverEventWriter& w) { exitRecord(w, 10, 11, {kText}); exitRecord(w, 20, 20, {}); },
         {11, 20}, ""},
        {"record begun twice",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             exitRecord(w, 10, 12, {kText});
         },
         {12}, "[qvnotify] buffer corrupted (RECORD_BEGIN) - record:1 info:0 moduleList:0"},
        {"thread info outside a record",
         [](QVDriverEventWriter& w) {
             w.control(THREAD_INFO_END);
             exitRecord(w, 10, 13, {});
         },
         {13}, "[qvnotify] buffer corrupted (THREAD_INFO_END) - record:0 info:0 moduleList:0"},
        {"module list inside thread info",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(THREAD_INFO_BEGIN);
             for (int i = 0; i < 8; ++i) w.word(7);
             w.control(MODULE_LIST_BEGIN);
             w.control(THREAD_INFO_END);
             w.control(RECORD_END);
         },
         {7}, "[qvnotify] buffer corrupted (MODULE_LIST_BEGIN) - record:1 info:1 moduleList:0"},
        {"record ends inside module list",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0);
             w.control(RECORD_END);
             w.control(MODULE_LIST_END);
             w.control(RECORD_END);
         },
         {0}, "[qvnotify] buffer corrupted (RECORD_END) - record:1 info:0 moduleList:1"},
        {"unknown tag",
         [](QVDriverEventWriter& w) {
             w.control(0x2a);
             exitRecord(w, 1, 2, {});
         },
         {2}, "[qvnotify] buffer corrupted (UNKNOWN (0x2a)) - record:0 info:0 moduleList:0"},
        {"plain word where a tag belongs",
         [](QVDriverEventWriter& w) {
             w.word(0x1234);
             exitRecord(w, 1, 3, {});
         },
         {3}, "[qvnotify] buffer corrupted - unexpected value during buffer parse: 0x1234"},
        {"escape marker at the end",
         [](QVDriverEventWriter& w) {
             exitRecord(w, 1, 4, {});
             w.word(~uint64_t(0));
         },
         {4}, "[qvnotify] buffer corrupted - incomplete escape code sequence"},
        {"thread info cut short",
         [](QVDriverEventWriter& w) {
             exitRecord(w, 1, 5, {});
             w.control(RECORD_BEGIN);
             w.control(THREAD_INFO_BEGIN);
             w.word(1);
         },
         {5}, "[qvnotify] unable to process event buffer - incomplete thread info"},
        {"module list cut short",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(3);
             for (int i = 0; i < 7; ++i) w.word(1);
         },
         {}, "[qvnotify] unable to process event buffer - incomplete module info (1 of 3)"},
        {"count far beyond the words",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0x7fffffff);
         },
         {}, "[qvnotify] unable to process event buffer - incomplete module info (0 of 2147483647)"},
        {"negative count",
         [](QVDriverEventWriter& w) {
             w.control(RECORD_BEGIN);
             w.control(MODULE_LIST_BEGIN);
             w.word(0xffffffff);
             w.control(MODULE_LIST_END);
             w.control(RECORD_END);
         },
         {0}, "[qvnotify] buffer corrupted - invalid module count -1"},
    };
    for (bool is64 : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (is64 ? " (64-bit)" : " (32-bit)"));
            const Parsed parsed = parse(c.script, is64);
            std::vector<uint64_t> tids;
            for (const QVTaskExitRecord& r : parsed.records) tids.push_back(r.tid);
            EXPECT_EQ(tids, c.tids);
            if (*c.fault) {
                ASSERT_EQ(parsed.faults.size(), 1u) << Quorvel::test::Text(parsed.faults.size());
                EXPECT_EQ(parsed.faults[0], c.fault);
            } else {
                EXPECT_TRUE(parsed.faults.empty()) << parsed.faults[0];
            }
            EXPECT_EQ(parsed.corrupt, *c.fault != '\0');
        }
    }
}

// Without the driver's files the driver reports itself missing and the
// notifier has no buffer to start on; loaded, init writes the buffer sizes
// in words, and a notifier started once and aborted registers nothing.
TEST(QVNotifyDriverLinux, InitAndStartNeedTheDriverAndAbortRegistersNothing) {
    FixtureDriver fixture;
    auto notifyDriver = NotifyDriver();
    QVNotifyDriverLinux& driver = *notifyDriver;
    EXPECT_EQ(driver.name(), "qvnotify");
    EXPECT_FALSE(driver.isLoaded());
    EXPECT_FALSE(driver.init());
    {
        QVNotifyLinux notify(notifyDriver);
        bool started = true;
        const std::string log = CaptureLog([&] { started = notify.start(); });
        EXPECT_FALSE(started);
        EXPECT_FALSE(notify.isActive());
        EXPECT_NE(log.find("failed to open buffer."), std::string::npos) << log;
        EXPECT_NE(log.find("Please check that the kernel drivers are installed properly"), std::string::npos);
        EXPECT_FALSE(notify.stop());  // never started
    }
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
    QVDriverEventWriter w(true);
    const uint64_t tgid = 5000101;  // beyond any pid_max
    exitRecord(w, tgid, tgid);
    fixture.write("buffer", std::string(w.bytes().begin(), w.bytes().end()));
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

    QVNotifyLinux notify(notifyDriver, std::make_unique<OnceBuffer>(driver.filesystem()));
    ASSERT_TRUE(notify.start());
    EXPECT_FALSE(notify.start());  // already monitoring
    notify.abort();
    EXPECT_FALSE(notify.isActive());
    EXPECT_EQ(fixture.read("enable"), "0");
    EXPECT_FALSE(QVProcess::processWithNativeIdentifier(int(tgid), false, false));
}

TEST(QVNotifyDriverLinux, AvailabilityAsksModprobeAndTheInitScriptAndDecidesTheDefault) {
    const struct {
        bool modprobeFinds;
        bool script;
        bool disabled;
        bool expected;
    } cases[] = {
        {true, true, false, true},
        {false, true, false, false},
        {true, false, false, false},
        {true, true, true, false},  // QV_DISABLE_QVNOTIFY_DRIVER
    };
    for (const auto& c : cases) {
        FixtureDriver fixture;
        if (c.script) fixture.initScript("#!/bin/sh\nexit 0\n");
        QVDriverModule::setModprobePath(fixture.modprobe(c.modprobeFinds));
        QVNotifyDriverLinux::disabled_ = c.disabled;
        auto driver = NotifyDriver();
        SCOPED_TRACE(Quorvel::test::Text(c.modprobeFinds) + " " + Quorvel::test::Text(c.script) + " " +
                     Quorvel::test::Text(c.disabled));
        EXPECT_EQ(driver->isAvailable(), c.expected);
        // The registry offers the platform's driver as the default only then.
        QVNotifyDriver::registerBackend([driver] { return driver; });
        EXPECT_EQ(QVNotifyDriver::availableDrivers().size(), 1u);
        const std::string id = c.expected ? "notify.driver.linux.qvnotify" : "notify.driver.unknown";
        EXPECT_EQ(QVNotifyDriver::defaultDriverId(), id);
        EXPECT_TRUE(QVNotifyDriver::setDefaultDriverId(id));
    }
    QVDriverModule::setModprobePath("");
    QVNotifyDriverLinux::disabled_ = false;
    const std::string log = CaptureLog([] { EXPECT_FALSE(QVNotifyDriver::setDefaultDriverId("notify.driver.x")); });
    EXPECT_NE(log.find("failed to set notify driver to 'notify.driver.x'"), std::string::npos) << log;
    QVNotifyDriver::registerBackend([] { return std::shared_ptr<QVNotifyDriver>(QVNotifyDriverLinux::defaultDriver()); });
    // The platform's notifier is the process-wide one.
    EXPECT_TRUE(std::dynamic_pointer_cast<QVNotifyLinux>(QVNotify::defaultNotify()));
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
    const std::array<uint64_t, 4> times = {3, 500000000, 9, 250000000};
    exitRecord(w, tgid, tgid,
               {{base, base + 0x100000, 0x5, 0xa1, 0x1000},             // the program's code, from file offset 0x1000
                {base + 0x200000, base + 0x201000, 0x1, 0xa1},         // its data: not executable
                {base + 0x300000, base + 0x300000, 0x4, 0xa1},         // empty range
                {base + 0x40000000, base + 0x40001000, 0x4, 0xbad},    // a cookie the driver does not know
                {base + 0x50000000, base + 0x50001000, 0x4, 0xa2}},    // a device
               "exactly15bytes!", times);
    exitRecord(w, tgid, tid2, {}, "helper", times);
    w.control(RECORD_BEGIN);
    w.control(RECORD_BEGIN);  // corrupt: begun twice
    fixture.write("buffer", std::string(w.bytes().begin(), w.bytes().end()));

    auto driver = NotifyDriver();
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

    // The program's executable sections sit where its code was mapped: the
    // file's offset 0x1000 at base. (The record's identity, times and every
    // mapping field come back through the ids, times and places checked here.)
    QVElfHeader header(program, 0);
    const std::shared_ptr<QVModule>& module =
        QVModule::moduleWithId(QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(program), header.architecture()));
    ASSERT_TRUE(module);
    unsigned placed = 0;
    for (const std::shared_ptr<QVSection>& section : module->sections()) {
        if (!section->isExecutable() || section->addressRange().length == 0) continue;
        const unsigned long address = base - 0x1000 + section->addressRange().location - module->baseAddress();
        EXPECT_EQ(process->sectionMap().valueForLocation(address, false), section) << section->name();
        ++placed;
    }
    EXPECT_GT(placed, 0u);
    // Nothing of the device or the unknown cookie was mapped. Both lie far
    // past the program's code, which a sanitized build makes several MiB long.
    EXPECT_FALSE(process->sectionMap().containsValueForLocation(base + 0x40000000));
    EXPECT_FALSE(process->sectionMap().containsValueForLocation(base + 0x50000000));
}
