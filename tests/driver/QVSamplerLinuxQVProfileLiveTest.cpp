// Records a known four-thread workload system-wide through the user-space
// driver installed into a temporary root, the way a user's machine runs it:
// the sampler loads the module through its init script, samples with perf
// events, decodes, and unloads again. Skips only where FUSE or
// perf_event_open is refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "base/QVErrorManager.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "model/QVThread.h"
#include "ranges/QVRange.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "support/MountedDriver.h"
#include "support/TestSupport.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::RunCommand;
using Quorvel::test::ScratchDirectory;

namespace {

// CPU time of every thread of a process, in nanoseconds (schedstat's first field).
uint64_t processCpuNanos(pid_t pid) {
    std::string text;
    if (!FileReadString("/proc/" + std::to_string(pid) + "/schedstat", text)) return 0;
    uint64_t total = std::strtoull(text.c_str(), nullptr, 10);
    // schedstat of the process is its main thread only: add the others.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid + 1; tid < pid + 64; ++tid) {
        if (FileReadString(tasks + std::to_string(tid) + "/schedstat", text)) total += std::strtoull(text.c_str(), nullptr, 10);
    }
    return total;
}

bool mounted(const std::string& path) {
    std::string mounts;
    FileReadString("/proc/self/mounts", mounts);
    return mounts.find(" " + path + " ") != std::string::npos;
}

// pgrep never counts itself; a shell around it would match the pattern.
bool daemonRunsFor(const std::string& mount) { return RunCommand({"pgrep", "-f", "qvprofiled -f " + mount}) == 0; }

}  // namespace

TEST(QVSamplerLinuxQVProfileLive, RecordsAMultiThreadedWorkloadSystemWide) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here";
    ScratchDirectory root("qvlive");
    ScratchDirectory chunks("qvlivechunks");
    test::ScopedEnvironment tmpdir("TMPDIR", chunks.path().c_str());
    // The fixture root stands in for /dev and /etc; the process model still
    // reads the machine's own /proc and /sys.
    ASSERT_EQ(symlink("/proc", root.file("proc").c_str()), 0);
    ASSERT_EQ(symlink("/sys", root.file("sys").c_str()), 0);
    const std::string install = std::string("bash ") + QV_SOURCE_DIR + "/scripts/install-driver";
    const std::string mount = root.file("dev/qvprofile");
    const std::string options = " --root " + root.path() + " --mount " + mount + " --daemon " + QV_PROFILED_PATH;
    ASSERT_EQ(std::system((install + " install" + options + " >/dev/null").c_str()), 0);

    std::map<std::string, uint64_t> leafSamples;
    std::set<std::string> threadNames;
    uint64_t workloadSamples = 0, workloadCpuNanos = 0;
    size_t workloadThreads = 0;
    std::string skip;
    {
        QVSystemPaths::ScopedRoot paths(root.path());
        auto driver = std::make_shared<QVProfileDriverLinuxQVProfile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, "/dev/qvprofile");
        ASSERT_FALSE(driver->isLoaded());
        auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
        config->timerConfig->interval = 0.001;
        QVSamplerLinuxQVProfile sampler(config, driver);

        // Long enough to outlive the recording: its maps stay readable
        // while the samples are decoded.
        const pid_t child = fork();
        if (child == 0) {
            execl(QV_WORKLOAD_PATH, QV_WORKLOAD_PATH, "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(child, 0);
        const uint64_t cpuBefore = processCpuNanos(child);
        std::string log = CaptureLog([&] {
            if (!sampler.start()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            sampler.stop();
        });
        workloadCpuNanos = processCpuNanos(child) - cpuBefore;
        if (!sampler.isActive() && sampler.stopReason() == QVSessionRecorder::StopReasonNone) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            skip = log.find("perf_event_open") != std::string::npos || log.find("failed to load") != std::string::npos
                       ? "the driver could not sample here: " + log
                       : "";
            ASSERT_FALSE(skip.empty()) << log;
        } else {
            const std::shared_ptr<QVSessionProfile> profile = sampler.collect();
            ASSERT_TRUE(profile && profile->callStackData());
            std::set<QVThreadId> threads;
            for (const auto& sample : profile->callStackData()->samples()) {
                if (!sample || sample->context().threadId().asProcessId().nativeIdentifier() != child) continue;
                ++workloadSamples;
                threads.insert(sample->context().threadId());
                QVRange<uint64_t> range;
                const auto& symbol = sample->frameAtIndex(0)->symbol(range);
                if (symbol) ++leafSamples[symbol->name()];
            }
            workloadThreads = threads.size();
            for (const QVThreadId& id : threads) {
                const auto& thread = QVThread::threadWithId(id, false, false);
                if (thread) threadNames.insert(thread->name());
            }
            QVErrorManager ids;
            sampler.getSessionErrors(ids, false);
            EXPECT_EQ(ids.errorCount(), 0u);
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // Loaded by the sampler, so unloaded by it: no mount, no daemon.
        EXPECT_FALSE(driver->isLoaded());
    }
    EXPECT_FALSE(mounted(mount));
    EXPECT_FALSE(daemonRunsFor(mount));
    EXPECT_EQ(RunCommand({"sh", "-c", "test -z \"$(ls " + chunks.path() + ")\""}), 0) << "temporary files left";
    ASSERT_EQ(std::system((install + " uninstall" + options + " >/dev/null").c_str()), 0);
    EXPECT_FALSE(FileExists(root.file("etc/init.d/qvprofile")));
    if (!skip.empty()) GTEST_SKIP() << skip;

    // cpu-clock at 1 kHz: a sample per millisecond of CPU the workload used.
    const double expected = double(workloadCpuNanos) / 1e6;
    EXPECT_GE(double(workloadSamples), 0.5 * expected) << workloadSamples << " samples for " << expected << " ms";
    EXPECT_GE(workloadThreads, 4u);
    EXPECT_EQ(threadNames, std::set<std::string>{"workload"});
    for (const char* function : {"fnv1aHash", "multiplyMatrices", "fibonacci"}) {
        bool found = false;
        for (const auto& leaf : leafSamples) found = found || leaf.first.find(function) != std::string::npos;
        EXPECT_TRUE(found) << function;
    }
}
