// The task-exit side of the user-space driver: its task table on scripted
// task events, and, live, the daemon mounted with --notify feeding the
// library's notifier while a program starts short-lived children.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "Linux/notify/QVNotifyLinux.h"
#include "Linux/notify/QVTaskExitStream.h"
#include "QVNotifydTaskTable.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "ranges/QVRange.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "symbols/QVSymbol.h"
#include "ids/QVFileId.h"
#include "symbols/QVModule.h"
#include "symbols/QVModuleId.h"
#include "symbols/elf/QVElfHeader.h"
#include "symbols/QVSection.h"
#include "support/MountedDriver.h"
#include "support/TestSupport.h"

using namespace Quorvel;
using Quorvel::test::MountedDriver;

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

TEST(QVNotifydLive, ShortLivedChildrenAreRegisteredWithTheirModules) {
    MountedDriver mount(QV_PROFILED_PATH, {"--notify"});
    if (!mount.mounted()) GTEST_SKIP() << mount.why();
    auto driver = NotifyDriverOf(mount);
    ASSERT_TRUE(driver->isLoaded());
    QVNotifyLinux notify(driver);
    if (!notify.start()) GTEST_SKIP() << "the daemon could not follow tasks (perf_event_open refused)";

    // Children that exec a program of their own and end at once: gone long
    // before anyone could read their /proc entries.
    const std::set<pid_t> children = RunShortLivedChildren(20);
    ASSERT_EQ(children.size(), 20u);
    ASSERT_TRUE(notify.stop());

    // The module as the children mapped it: the file behind /bin/true.
    char resolved[PATH_MAX];
    ASSERT_TRUE(realpath("/bin/true", resolved));
    const std::shared_ptr<QVModule>& module = QVModule::moduleWithId(QVModuleId::uniqueModuleId(
        QVFileId::uniqueFileId(resolved), QVElfHeader(resolved, 0).architecture()));
    ASSERT_TRUE(module) << resolved << " was not registered";
    std::set<std::shared_ptr<QVSection>> ofTrue;
    for (const std::shared_ptr<QVSection>& section : module->sections()) ofTrue.insert(section);

    unsigned named = 0;
    for (pid_t pid : children) {
        const std::shared_ptr<QVProcess> process = QVProcess::processWithNativeIdentifier(pid, false, false);
        if (!process) continue;
        EXPECT_FALSE(process->exitTime().is_not_a_date_time()) << pid;
        std::vector<std::shared_ptr<QVSection>> sections;
        process->sectionMap().SWIG_getValues(sections);
        for (const std::shared_ptr<QVSection>& section : sections) {
            if (ofTrue.count(section)) {
                ++named;
                break;
            }
        }
    }
    // Every child exited while monitoring was on; each must come back named.
    EXPECT_EQ(named, children.size());
}

// The point of exit notification: children that live a few milliseconds each
// are gone before any look at /proc, so without it their samples have no
// thread to belong to; with it they keep their process, its name, their
// module and their function.
TEST(QVNotifydLive, ShortLivedChildrenKeepTheirSamplesOnlyWithNotification) {
    // 200 children of 5 ms CPU each: about 1000 samples at 1 kHz.
    constexpr int kChildren = 200;
    constexpr int kMilliseconds = 5;
    const std::string probeName = "fork_probe";
    struct Outcome {
        uint64_t childSamples = 0;  // samples kept for the children at all
        uint64_t named = 0;         // of those, in spin_in_child of the probe
        std::set<std::string> processNames;
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
