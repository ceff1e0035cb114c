// The user-space driver: its event queue, then the daemon mounted over FUSE
// in a temporary directory with its files driven the way the library does,
// and the driver-buffer sampler recording through it in its scripted mode:
// each case plays prepared stream units through the real read path (FUSE
// device, reading thread, chunk files, decoding) and checks the
// notifications, the log and the samples that come out. Last the task-exit
// side: the daemon's task table on scripted task events, and, live, the
// daemon mounted with --notify feeding the library's notifier while a
// program starts short-lived children. Skips where FUSE mounting is refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverEventScanner.h"
#include "Linux/driver/QVDriverEventWriter.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "Linux/notify/QVNotifyLinux.h"
#include "Linux/notify/QVTaskExitStream.h"
#include "QVNotifydTaskTable.h"
#include "QVProfiledEventQueue.h"
#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "ids/QVFileId.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "notify/QVNotificationIds.h"
#include "ranges/QVRange.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "support/MountedDriver.h"
#include "support/TestSupport.h"
#include "symbols/elf/QVElfHeader.h"
#include "symbols/QVModule.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::MountedDriver;
using Quorvel::test::RunCommand;
using Quorvel::test::WriteDriverScript;

namespace {

std::vector<unsigned char> unitOfWords(size_t words) { return std::vector<unsigned char>(words * 8, 0xab); }

}  // namespace

TEST(QVProfiledEventQueue, DeliversWholeUnitsCountsWhatDoesNotFitAndWaitsUntilReleased) {
    QVProfiledEventQueue queue(10, 8);  // room for 10 words
    EXPECT_TRUE(queue.push(unitOfWords(4)));
    EXPECT_TRUE(queue.push(unitOfWords(4)));
    EXPECT_FALSE(queue.push(unitOfWords(4)));  // 12 > 10: lost
    EXPECT_EQ(queue.lostUnits(), 1u);
    // A full queue still takes the notice that sampling ended.
    queue.pushNotice(unitOfWords(3));
    EXPECT_EQ(queue.lostUnits(), 1u);
    EXPECT_EQ(queue.queuedWords(), 11u);
    queue.release();
    std::vector<unsigned char> out(6 * 8);
    // Room for six words takes one four-word unit, never a part of the next.
    EXPECT_EQ(queue.read(out.data(), out.size()), 32u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 32u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 24u);
    EXPECT_EQ(queue.read(out.data(), out.size()), 0u);

    // A unit larger than any read is dropped, never delivered empty.
    QVProfiledEventQueue large(100, 8);
    large.push(unitOfWords(20));
    large.push(unitOfWords(2));
    large.release();
    EXPECT_EQ(large.read(out.data(), 4 * 8), 16u);
    EXPECT_EQ(large.lostUnits(), 1u);

    // Unreleased, a read waits for data; once released it ends empty.
    QVProfiledEventQueue waiting(100, 8);
    size_t got = 99;
    std::thread reader([&] { got = waiting.read(out.data(), out.size()); });
    waiting.push(unitOfWords(1));
    reader.join();
    EXPECT_EQ(got, 8u);
    std::thread ending([&] { got = waiting.read(out.data(), out.size()); });
    waiting.release();
    ending.join();
    EXPECT_EQ(got, 0u);
}

// The facts and settings as stored, then live sampling with them attributing
// samples to the busy thread.
TEST(QVProfiledFuse, ServesFactsAndSettingsAndAttributesLiveSamplesToTheBusyThread) {
    MountedDriver driver(QV_PROFILED_PATH, {});
    if (!driver.mounted()) GTEST_SKIP() << driver.why();
    EXPECT_EQ(driver.read("cpu_type"), "timer");
    EXPECT_EQ(driver.read("pointer_size"), "8");
    EXPECT_EQ(driver.read("num_counters"), "0");
    EXPECT_EQ(driver.read("stats/event_lost_overflow"), "0");
    EXPECT_EQ(driver.read("stats/cpu0/sample_lost_overflow"), "0");
    struct Case {
        const char* entry;
        const char* value;
        int error;
        const char* readBack;
    };
    const Case cases[] = {
        {"backtrace_depth", "512\n", 0, "512"},
        {"backtrace_depth", "513", EINVAL, "512"},
        {"buffer_size", "65536", 0, "65536"},
        {"buffer_size", "0", EINVAL, "65536"},
        {"buffer_watershed", "1024", 0, "1024"},
        {"cpu_buffer_size", "abc", EINVAL, "8192"},
        {"timer_count", "250000", 0, "250000"},
        {"enable", "2", EINVAL, "0"},
        {"cpu_type", "x", EACCES, "timer"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(driver.write(c.entry, c.value), c.error) << c.entry << "=" << c.value;
        EXPECT_EQ(driver.read(c.entry), c.readBack) << c.entry;
    }
    // The flush request is any 4-byte write to the buffer; other sizes are
    // refused. (Whole units through the buffer, and its end once disabled,
    // are the scripted sampler's cases below.)
    EXPECT_EQ(driver.write("buffer", std::string("\1\0\0\0", 4)), 0);
    EXPECT_EQ(driver.write("buffer", std::string("\1\0", 2)), EINVAL);

    ASSERT_EQ(driver.write("backtrace_depth", "512"), 0);
    ASSERT_EQ(driver.write("timer_count", "1000000"), 0);  // 1 ms
    if (int error = driver.write("enable", "1")) GTEST_SKIP() << "perf_event_open refused: " << std::strerror(error);
    const uint64_t self = uint64_t(gettid());
    // Read while sampling, as the library's reading thread does: a buffer
    // left unread overflows on a loaded machine, and counting that as lost is
    // the driver doing its job, not what this test is about.
    std::vector<unsigned char> all;
    std::thread reader([&driver, &all] {
        int fd = open(driver.path("buffer").c_str(), O_RDONLY);
        if (fd < 0) return;
        std::vector<unsigned char> chunk(1 << 17);
        ssize_t n;
        while ((n = ::read(fd, chunk.data(), chunk.size())) > 0)
            all.insert(all.end(), chunk.begin(), chunk.begin() + n);
        close(fd);
    });
    // Busy on this thread for a bounded amount of CPU time: 300 ms at 1 ms
    // periods leaves room for a loaded machine to still yield many samples.
    timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    volatile uint64_t spin = 0;
    do {
        for (int i = 0; i < 100000; ++i) spin = spin + 1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000000ll + (now.tv_nsec - start.tv_nsec) < 300000000ll);
    // A longer interval on request, announced with the factor since the start.
    EXPECT_EQ(driver.write("adapt", "1"), 0);
    EXPECT_EQ(driver.write("enable", "0"), 0);
    // Disabling lets the reader take what is left and then see the end.
    reader.join();
    ASSERT_FALSE(all.empty());
    QVDriverBufferCursorMemory cursor(all.data(), all.size() / 8, true);
    QVDriverEventScanner scanner(cursor, true);
    QVDriverStreamItem item;
    uint64_t ours = 0, tid = 0;
    bool sawBegin = false, sawEnd = false;
    uint64_t adaptFactor = 0;
    while (scanner.next(item)) {
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_CTX_SWITCH_CODE) tid = item.first;
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_TRACE_BEGIN_CODE && tid == self) ++ours;
        sawBegin |= item.kind == QVDriverStreamItem::Control && item.code == OP_QV_CPU_SAMPLING_BEGIN_TIMESTAMP_CODE;
        sawEnd |= item.kind == QVDriverStreamItem::Control && item.code == OP_QV_CPU_SAMPLING_END_TIMESTAMP_CODE;
        if (item.kind == QVDriverStreamItem::Control && item.code == OP_QV_ADAPT_SAMPLING_INTERVAL_CODE)
            adaptFactor = item.first;
    }
    EXPECT_EQ(scanner.fault(), QVDriverStreamFault::None) << scanner.faultText();
    EXPECT_GT(ours, 100u);  // ~300 expected
    EXPECT_TRUE(sawBegin);
    EXPECT_TRUE(sawEnd);
    EXPECT_EQ(adaptFactor, 2u);
    EXPECT_EQ(driver.read("stats/event_lost_overflow"), "0");
}

namespace {

using Units = std::vector<QVDriverEventWriter>;

struct Thread {
    uint64_t pid, tid;
};

// No process has this id: the kernel's pid_max is at most 2^22.
constexpr uint64_t kUnknownId = 4194303;

}  // namespace

// A user function of this program that a kernel-mode stack was entered from;
// its name must come back through the thread's process.
extern "C" __attribute__((noinline)) int qvKernelEntryCaller(int n) { return n * 3 + 1; }

namespace {

uint64_t userCallerAddress() { return reinterpret_cast<uint64_t>(&qvKernelEntryCaller) + 1; }

void expectKernelThenUserFrames(const QVSessionProfile& profile) {
    ASSERT_TRUE(profile.callStackData());
    size_t seen = 0;
    for (const auto& sample : profile.callStackData()->samples()) {
        if (!sample || sample->context().state() != QVContext::StateSupervisor) continue;
        ++seen;
        ASSERT_EQ(sample->size(), 4);
        const std::vector<uint64_t> expected = {0xffffffff81000100, 0xffffffff81000200, userCallerAddress(), 0x402000};
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sample->frameAtIndex(int(i))->address(), expected[i]) << i;
        QVRange<uint64_t> range;
        const std::shared_ptr<QVSymbol>& symbol = sample->frameAtIndex(2)->symbol(range);
        ASSERT_TRUE(symbol) << "the user caller of a kernel-mode sample did not resolve";
        EXPECT_EQ(symbol->name(), "qvKernelEntryCaller");
    }
    EXPECT_EQ(seen, 1u);
}

/// One sample of the thread on a processor: 21 words. Taken in the kernel,
/// it has two kernel frames before the user frames the stream states after
/// leaving kernel mode, the first of them a caller of this program.
QVDriverEventWriter sampleUnit(const Thread& thread, uint64_t cpu = 0, bool inKernel = false) {
    QVDriverEventWriter w(true);
    w.control(OP_CPU_SWITCH_CODE, cpu);
    w.control(OP_CTX_SWITCH_CODE, thread.tid, thread.pid);
    w.timestamp(OP_QV_SAMPLE_BEGIN_TIMESTAMP_CODE, 1000);
    if (inKernel) w.control(OP_KERNEL_ENTER_SWITCH_CODE);
    w.control(OP_TRACE_BEGIN_CODE);
    if (inKernel) {
        w.entry(0xffffffff81000100, 0);
        w.entry(0xffffffff81000200, 0);
        w.control(OP_KERNEL_EXIT_SWITCH_CODE);
    }
    w.entry(inKernel ? userCallerAddress() : 0x401000, 0);
    w.entry(0x402000, 0);
    w.control(OP_TRACE_END_CODE);
    w.timestamp(OP_QV_SAMPLE_END_TIMESTAMP_CODE, 2000);
    return w;
}

Units samples(const Thread& thread, int count) {
    Units units;
    for (int i = 0; i < count; ++i) units.push_back(sampleUnit(thread));
    return units;
}

Units plus(Units units, const QVDriverEventWriter& unit) {
    units.push_back(unit);
    return units;
}

struct Case {
    const char* name;
    std::function<Units(const Thread&)> script;
    std::vector<std::string> daemonOptions;
    std::function<void(QVSessionConfig&)> configure;
    uint64_t expectedSamples;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    std::vector<std::string> logLines;
    bool stopsItself = false;
    std::function<void(const QVSessionProfile&)> inspect = nullptr;
};

std::vector<Case> cases() {
    const unsigned processors = LocalMachineProcessorCount();
    return {
        {"three whole samples", [](const Thread& t) { return samples(t, 3); }, {}, nullptr, 3, {}, {}, {}},
        {"a sample taken in the kernel keeps its user callers",
         [](const Thread& t) { return Units{sampleUnit(t, 0, true)}; }, {}, nullptr, 1, {}, {}, {},
         false, expectKernelThenUserFrames},
        {"nine records are too few",
         [](const Thread& t) {
             QVDriverEventWriter w(true);  // 4 + 3 + 2 words
             w.control(OP_CTX_SWITCH_CODE, t.tid, t.pid);
             w.control(OP_CPU_SWITCH_CODE, 0);
             w.entry(0x401000, 0);
             return Units{w};
         },
         {}, nullptr, 0, {QVSamplerErrorInsufficientSamples}, {}, {}},
        {"ten records are enough",
         [](const Thread& t) {
             QVDriverEventWriter w(true);  // 4 + 2 + 2 + 2 words
             w.control(OP_CTX_SWITCH_CODE, t.tid, t.pid);
             w.entry(0x401000, 0);
             w.entry(0x401100, 0);
             w.control(OP_MODULE_LOADED_CODE);
             return Units{w};
         },
         {}, nullptr, 2, {}, {}, {}},
        {"a context switch cut off",
         [](const Thread& t) {
             QVDriverEventWriter cut(true);
             cut.word(QVDriverEscapeMarker(true));
             cut.word(OP_CTX_SWITCH_CODE);
             cut.word(t.tid);
             return plus(samples(t, 2), cut);
         },
         {}, nullptr, 2, {}, {QVSamplerWarningBufferCorrupt}, {"buffer corrupted - unterminated CTX_SWITCH_CODE"}},
        {"an unknown escape code",
         [](const Thread& t) {
             QVDriverEventWriter unknown(true);
             unknown.control(12);
             return plus(samples(t, 2), unknown);
         },
         {}, nullptr, 2, {}, {QVSamplerWarningBufferCorrupt}, {"buffer corrupted (unknown escape code 12)", "unknown escape code 0xc"}},
        {"a thread nobody knows",
         [](const Thread& t) { return plus(samples(Thread{kUnknownId, kUnknownId}, 2), sampleUnit(t)); },
         {}, nullptr, 1, {}, {}, {"OP_CTX_SWITCH_CODE - unknown thread - tid:4194303 tgid:4194303"}},
        {"a processor index one past the last",
         [processors](const Thread& t) { return Units{sampleUnit(t, processors)}; },
         {}, nullptr, 1, {}, {},
         {"invalid cpu index in CPU_SWITCH_CODE, using cpu index 0 as default: " + std::to_string(processors)}},
        {"an adapted interval",
         [](const Thread& t) {
             QVDriverEventWriter adapt(true);
             adapt.control(OP_QV_ADAPT_SAMPLING_INTERVAL_CODE, 4);
             Units units = samples(t, 4);
             units.push_back(adapt);
             for (const auto& unit : samples(t, 2)) units.push_back(unit);
             return units;
         },
         {},
         [](QVSessionConfig& c) {
             c.adaptiveEnable = true;
             c.adaptiveThreshold = 1000000;
         },
         // The 4 samples at the finer interval thin to 1 (every 4th), then 2.
         3, {}, {QVSamplerWarningSamplingIntervalChanged}, {}},
        {"the event buffer overflowed", [](const Thread& t) { return samples(t, 2); }, {"--lost=7"}, nullptr, 2, {},
         {QVSamplerWarningBufferOverflow}, {"buffer has overflowed - 7 records have been lost"}},
        {"processor 0's buffer overflowed", [](const Thread& t) { return samples(t, 2); }, {"--cpu0-lost=3"}, nullptr,
         2, {}, {QVSamplerWarningBufferOverflow}, {"CPU0 buffer has overflowed - 3 records have been lost."}},
        {"the sample limit stops",
         [](const Thread& t) { return samples(t, 6); }, {},
         [](QVSessionConfig& c) {
             c.sampleLimitEnable = true;
             c.sampleLimit = 2;
             c.sampleLimitAction = QVSessionConfig::SampleLimitActionStop;
         },
         6, {}, {}, {}, true},
    };
}

bool waitUntilInactive(const QVSessionRecorder& recorder) {
    // An upper bound only: the reader stops the recording as soon as it has
    // taken the chunk past the limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (recorder.isActive()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(QVSamplerLinuxQVProfileScripted, EveryStreamFaultAndNoticeReachesTheUser) {
    const Thread self{uint64_t(getpid()), uint64_t(syscall(SYS_gettid))};
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string script = WriteDriverScript(c.script(self));
        std::vector<std::string> options = {"--script=" + script};
        options.insert(options.end(), c.daemonOptions.begin(), c.daemonOptions.end());
        MountedDriver mount(QV_PROFILED_PATH, options);
        if (!mount.mounted()) {
            FileRemove(script);
            GTEST_SKIP() << mount.why();
        }
        auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
        config->adaptiveEnable = false;
        if (c.configure) c.configure(*config);
        auto driver = std::make_shared<QVProfileDriverLinuxQVProfile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, mount.root());
        // Chunk files go to a directory of the case's own, to be counted.
        test::ScratchDirectory chunks("qvchunks");
        test::ScopedEnvironment tmpdir("TMPDIR", chunks.path().c_str());
        QVSamplerLinuxQVProfile sampler(config, driver);
        std::shared_ptr<QVSessionProfile> profile;
        const std::string log = CaptureLog([&] {
            ASSERT_TRUE(sampler.start());
            if (c.stopsItself) {
                ASSERT_TRUE(waitUntilInactive(sampler));
                EXPECT_EQ(sampler.stopReason(), QVSessionRecorder::StopReasonSampleLimit);
            } else {
                sampler.stop();
            }
            profile = sampler.collect();
        });
        FileRemove(script);
        ASSERT_TRUE(profile);
        QVErrorManager ids;
        sampler.getSessionErrors(ids, false);
        for (const std::string& id : c.errors) EXPECT_TRUE(ids.testErrorId(id)) << id;
        for (const std::string& id : c.warnings) EXPECT_TRUE(ids.testWarningId(id)) << id;
        EXPECT_EQ(ids.errorCount(), c.errors.size());
        EXPECT_EQ(ids.warningCount(), c.warnings.size());
        for (const std::string& line : c.logLines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
        EXPECT_EQ(sampler.sampleCount(), c.expectedSamples);
        if (c.expectedSamples > 0) {
            EXPECT_TRUE(profile->callStackData());
        }
        if (c.inspect) c.inspect(*profile);
        if (c.configure && sampler.config()->adaptiveEnable) {
            // The saved configuration shows the interval the driver ended with.
            EXPECT_DOUBLE_EQ(sampler.config()->timerConfig->interval, 0.004);
        }
        EXPECT_FALSE(sampler.reading());
        // Collected chunks are deleted, corrupt ones kept for inspection.
        const bool corrupt = ids.testWarningId(QVSamplerWarningBufferCorrupt);
        EXPECT_EQ(test::RunCommand({"sh", "-c", "test $(ls " + chunks.path() + " | wc -l) = " + (corrupt ? "1" : "0")}), 0);
    }
}

namespace {

std::vector<QVTaskExitRecord> Parse(const std::vector<unsigned char>& words) {
    QVDriverBufferCursorMemory cursor(words.data(), words.size() / 8, true);
    QVTaskExitStreamParser parser(cursor, true, [](const std::string& fault) { ADD_FAILURE() << fault; });
    std::vector<QVTaskExitRecord> records;
    QVTaskExitRecord record;
    while (parser.next(record)) records.push_back(record);
    return records;
}

long kernelWithoutDcookies(uint64_t, char*, size_t) {
    errno = ENOSYS;
    return -1;
}

// The notify driver of a mounted daemon, initialised; its cookies come from
// the daemon's table as on a kernel without the lookup call.
std::shared_ptr<QVNotifyDriverLinux> NotifyDriverOf(const MountedDriver& mount) {
    auto driver = std::make_shared<QVNotifyDriverLinux>(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, mount.root());
    driver->filesystem()->setDcookieSyscall(kernelWithoutDcookies);
    EXPECT_TRUE(driver->init());
    return driver;
}

// A driver-buffer sampler of a mounted daemon at 1 kHz of OS time.
std::unique_ptr<QVSamplerLinuxQVProfile> SamplerOf(const MountedDriver& mount) {
    auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
    config->timerConfig->interval = 0.001;
    return std::make_unique<QVSamplerLinuxQVProfile>(
        config, std::make_shared<QVProfileDriverLinuxQVProfile>(QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE,
                                                                mount.root()));
}

// Starts children that exec /bin/true and reaps them; their pids.
std::set<pid_t> RunShortLivedChildren(int count) {
    std::set<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/true", "true", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0) children.insert(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return children;
}

// Runs the fork probe to its end; the pids of its children.
std::set<pid_t> RunForkProbe(int children, int milliseconds) {
    const std::string command =
        std::string(QV_FORK_PROBE) + " " + std::to_string(children) + " " + std::to_string(milliseconds);
    std::set<pid_t> pids;
    FILE* out = popen(command.c_str(), "r");
    if (!out) return pids;
    int pid = 0;
    while (std::fscanf(out, "%d", &pid) == 1) pids.insert(pid);
    EXPECT_EQ(pclose(out), 0) << command;
    return pids;
}

}  // namespace

TEST(QVNotifydTaskTable, ExitRecordsCarryTheMappingsTheTaskHad) {
    QVNotifydTaskTable table;
    const uint64_t sh = table.cookie("/bin/sh");
    table.seed(100, 100, 5 * 1000000000ull + 7, {{0x1000, 0x2000, 0, sh}});
    table.name(100, "sh");  // a task found at the start is named as it is seeded
    table.fork(200, 100, 200, 6 * 1000000000ull);  // a child inherits the parent's image and name
    table.fork(200, 200, 201, 6 * 1000000000ull + 1);  // and starts a thread
    table.name(201, "worker");  // a thread named by itself
    table.fork(300, 100, 300, 7 * 1000000000ull);
    table.exec(300);  // which the next image replaces
    table.name(300, "a-command-longer-than-fifteen");
    table.map(300, 0x5000, 0x1000, 0x2000, "/usr/bin/true");
    table.map(300, 0x5800, 0x1000, 0, "/usr/lib/libc.so");  // overlaps: replaces the first

    struct Case {
        uint32_t pid, tid;
        uint64_t exitNanos;
        bool reported;
        uint64_t startSeconds, startNanos;
        std::vector<std::string> files;
        std::string command;  // the kernel keeps 15 bytes of a name
    };
    const Case cases[] = {
        {999, 999, 0, false, 0, 0, {}, ""},  // a task of no known process
        {200, 201, 8 * 1000000000ull + 3, true, 6, 1, {"/bin/sh"}, "worker"},
        {200, 200, 8 * 1000000000ull + 4, true, 6, 0, {"/bin/sh"}, "sh"},
        {200, 200, 9 * 1000000000ull, false, 0, 0, {}, ""},  // already gone
        {300, 300, 9 * 1000000000ull, true, 7, 0, {"/usr/lib/libc.so"}, "a-command-longe"},
        {100, 100, 10 * 1000000000ull, true, 5, 7, {"/bin/sh"}, "sh"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pid) + "/" + std::to_string(c.tid));
        const std::vector<QVTaskExitRecord> records = Parse(table.exit(c.pid, c.tid, c.exitNanos));
        ASSERT_EQ(records.size(), c.reported ? 1u : 0u);
        if (!c.reported) continue;
        const QVTaskExitRecord& r = records[0];
        EXPECT_EQ(r.tgid, c.pid);
        EXPECT_EQ(r.tid, c.tid);
        EXPECT_EQ(r.command, c.command);
        EXPECT_EQ(r.startSeconds, c.startSeconds);
        EXPECT_EQ(r.startNanoseconds, c.startNanos);
        EXPECT_EQ(r.exitSeconds * 1000000000ull + r.exitNanoseconds, c.exitNanos);
        std::vector<std::string> files;
        for (const QVTaskExitMapping& m : r.mappings) {
            std::string path;
            EXPECT_TRUE(table.cookiePath(m.cookie, path));
            files.push_back(path);
            EXPECT_EQ(m.flags & 0x4, 0x4u);
        }
        EXPECT_EQ(files, c.files);
    }
    EXPECT_EQ(table.cookie("/bin/sh"), sh);  // stable per file
    std::string path;
    EXPECT_FALSE(table.cookiePath(0, path));
}

// The point of exit notification: children that live a few milliseconds each
// are gone before any look at /proc, so without it their samples have no
// thread to belong to; with it they keep their process, its name, their
// module and their function. Children that exec a program of their own
// (/bin/true) and end at once come back with its module and their exit.
TEST(QVNotifydLive, ShortLivedChildrenKeepTheirSamplesAndModulesOnlyWithNotification) {
    // 200 children of 5 ms CPU each: about 1000 samples at 1 kHz.
    constexpr int kChildren = 200;
    constexpr int kMilliseconds = 5;
    const std::string probeName = "fork_probe";
    struct Outcome {
        uint64_t childSamples = 0;  // samples kept for the children at all
        uint64_t named = 0;         // of those, in spin_in_child of the probe
        std::set<std::string> processNames;
        std::set<pid_t> execChildren;
    };
    auto record = [&](bool notifyOn, Outcome& outcome, std::string& skip) {
        MountedDriver profileMount(QV_PROFILED_PATH, {});
        if (!profileMount.mounted()) {
            skip = profileMount.why();
            return;
        }
        MountedDriver notifyMount(QV_PROFILED_PATH, {"--notify"});
        ASSERT_TRUE(notifyMount.mounted()) << notifyMount.why();
        auto notifyDriver = NotifyDriverOf(notifyMount);
        test::ScratchDirectory chunks("qvattributionchunks");
        test::ScopedEnvironment tmpdir("TMPDIR", chunks.path().c_str());
        const auto sampler = SamplerOf(profileMount);
        const auto notify = notifyOn ? std::make_shared<QVNotifyLinux>(notifyDriver) : nullptr;
        sampler->setNotify(notify);
        if (!sampler->start()) {
            skip = "the driver could not sample here (perf_event_open refused)";
            return;
        }
        // The sampler runs the notifier with its recording and stops it with
        // the recording, before the samples are decoded.
        EXPECT_TRUE(!notify || notify->isActive());
        const std::set<pid_t> children = RunForkProbe(kChildren, kMilliseconds);
        if (notifyOn) outcome.execChildren = RunShortLivedChildren(20);
        sampler->stop();
        EXPECT_FALSE(notify && notify->isActive());
        ASSERT_EQ(children.size(), size_t(kChildren));
        const std::shared_ptr<QVSessionProfile> profile = sampler->collect();
        ASSERT_TRUE(profile && profile->callStackData());
        for (const auto& sample : profile->callStackData()->samples()) {
            if (!sample) continue;
            const QVProcessId process = sample->context().threadId().asProcessId();
            if (!children.count(pid_t(process.nativeIdentifier()))) continue;
            ++outcome.childSamples;
            const auto& registered = QVProcess::processWithId(process, false, false);
            if (registered) outcome.processNames.insert(registered->name());
            QVRange<uint64_t> range;
            const auto& frame = sample->frameAtIndex(0);
            const auto& symbol = frame->symbol(range);
            const auto& module = frame->module();
            if (symbol && symbol->name() == "spin_in_child" && module && module->name() == probeName) ++outcome.named;
        }
    };
    Outcome on, off;
    std::string skip;
    record(true, on, skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_EQ(on.execChildren.size(), 20u);
    // The module as the children mapped it: the file behind /bin/true.
    char resolved[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/true", resolved));
    const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(QVModuleId::uniqueModuleId(
        QVFileId::uniqueFileId(resolved), QVElfHeader(resolved, 0).architecture()));
    ASSERT_TRUE(module) << resolved << " was not registered";
    std::set<std::shared_ptr<QVSection>> ofTrue;
    for (const std::shared_ptr<QVSection>& section : module->sections()) ofTrue.insert(section);
    unsigned execNamed = 0;
    for (pid_t pid : on.execChildren) {
        const std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(pid, false, false);
        if (!process) continue;
        EXPECT_FALSE(process->exitTime().is_not_a_date_time()) << pid;
        std::vector<std::shared_ptr<QVSection>> sections;
        process->sectionMap().SWIG_getValues(sections);
        for (const std::shared_ptr<QVSection>& section : sections) {
            if (ofTrue.count(section)) {
                ++execNamed;
                break;
            }
        }
    }
    // Every child exited while monitoring was on; each must come back named.
    EXPECT_EQ(execNamed, on.execChildren.size());
    record(false, off, skip);
    ASSERT_TRUE(skip.empty()) << skip;

    const double expected = kChildren * kMilliseconds;
    EXPECT_GE(double(on.named), 0.5 * expected) << on.named << " of " << on.childSamples << " child samples named";
    // The rest: fork, exit and clock reads in the kernel.
    EXPECT_GE(double(on.named), 0.75 * double(on.childSamples));
    EXPECT_EQ(on.processNames, std::set<std::string>{probeName});
    // Without notification only a child that a registry refresh happened to
    // catch alive keeps its samples; on a loaded machine children live longer
    // and more are caught, but never most of them.
    EXPECT_LE(double(off.childSamples), 0.5 * double(on.named))
        << off.childSamples << " child samples without notification, " << on.named << " with";
    EXPECT_GE(on.named, 2 * off.named + 100);
}
