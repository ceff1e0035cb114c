// The user-space driver installed into a temporary root the way a user's
// machine has it: its init scripts start and stop the daemon, and the
// samplers load the driver through them, record a known four-thread
// workload system-wide, decode and unload again. Skips only where FUSE or
// perf_event_open is refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Linux/driver/QVProfileDriverLinuxQVProfile.h"
#include "Linux/driver/QVSamplerLinuxQVProfile.h"
#include "Linux/oprofile/QVProfileDriverLinuxOprofile.h"
#include "Linux/oprofile/QVSamplerLinuxOprofile.h"
#include "base/QVErrorManager.h"
#include "calltree/QVCallTree.h"
#include "calltree/QVCallTreeNode.h"
#include "calltree/QVCallTreeRootNode.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "ids/QVProcessId.h"
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

int shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool mounted(const std::string& path) {
    std::string mounts;
    FileReadString("/proc/self/mounts", mounts);
    return mounts.find(" " + path + " fuse") != std::string::npos;
}

// The three drivers installed below a scratch root, their filesystems
// mounted at dev/NAME of it. The root stands in for /dev and /etc; the
// process model still reads the machine's own /proc and /sys. Chunk files
// go to a directory of their own, to be counted.
struct InstalledRoot {
    explicit InstalledRoot(const std::string& name) : root(name), chunks(name + "chunks") {
        linked = ::symlink("/proc", root.file("proc").c_str()) == 0 && ::symlink("/sys", root.file("sys").c_str()) == 0;
    }
    int run(const std::string& action) const {
        return shell(std::string("bash ") + QV_SOURCE_DIR + "/scripts/install-driver " + action + " --root " +
                     root.path() + " --mount " + root.file("dev/qvprofile") + " --notify-mount " +
                     root.file("dev/qvnotify") + " --oprofile-mount " + root.file("dev/oprofile") + " --daemon " +
                     QV_PROFILED_PATH);
    }
    bool chunksLeft() const { return RunCommand({"sh", "-c", "test -z \"$(ls " + chunks.path() + ")\""}) != 0; }

    ScratchDirectory root;
    ScratchDirectory chunks;
    test::ScopedEnvironment tmpdir{"TMPDIR", chunks.path().c_str()};
    bool linked = false;
};

// The workload, long enough to outlive a recording so that its maps stay
// readable while the samples are decoded; killed and reaped when it goes.
struct Workload {
    Workload() : pid(fork()) {
        if (pid == 0) {
            execl(QV_WORKLOAD_PATH, QV_WORKLOAD_PATH, "30", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Workload() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    const pid_t pid;
};

// Records 1.5 s with the sampler; what starting and stopping it logged.
std::string Record(QVSessionRecorder& sampler) {
    return CaptureLog([&] {
        if (!sampler.start()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sampler.stop();
    });
}

std::shared_ptr<QVSessionConfig> OsTimerConfig() {
    auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
    config->timerConfig->interval = 0.001;
    return config;
}

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

// The heaviest child of `node` named `name`, or null.
QVCallTreeNode::NodePtr Child(const QVCallTreeNode& node, const std::string& name) {
    std::vector<QVCallTreeNode::NodePtr> children;
    node.getChildren(children);
    QVCallTreeNode::NodePtr best;
    for (const auto& child : children) {
        if (child->symbolName().find(name) != std::string::npos && (!best || child->totalWeight() > best->totalWeight())) {
            best = child;
        }
    }
    return best;
}

std::string Describe(const QVCallTreeNode& node) {
    std::ostringstream text;
    node.getDescription(text);
    return text.str();
}

}  // namespace

// One installed root for everything: first each sampler loads its driver
// through the init script, records the workload and unloads it again; then
// each init script starts, stops and reports its driver, which is left
// running for the uninstall to stop before it removes everything.
TEST(QVProfiledInstall, SamplersRecordThroughTheInitScriptsAndUninstallRemovesEverything) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here";
    InstalledRoot installed("qvinstall");
    const ScratchDirectory& root = installed.root;
    ASSERT_TRUE(installed.linked);
    ASSERT_EQ(installed.run("install"), 0);
    EXPECT_TRUE(FileCanExecute(root.file("usr/local/sbin/qvprofiled")));
    const std::string mount = root.file("dev/qvprofile");
    Workload child;
    ASSERT_GT(child.pid, 0);

    std::map<std::string, uint64_t> leafSamples;
    std::set<std::string> threadNames;
    uint64_t workloadSamples = 0, workloadCpuNanos = 0;
    size_t workloadThreads = 0;
    std::string skipQVProfile, skipOprofile, skipMount;
    std::shared_ptr<QVSessionProfile> oprofileProfile;
    {
        QVSystemPaths::ScopedRoot paths(root.path());
        auto driver = std::make_shared<QVProfileDriverLinuxQVProfile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_QVPROFILE, "/dev/qvprofile");
        ASSERT_FALSE(driver->isLoaded());
        QVSamplerLinuxQVProfile sampler(OsTimerConfig(), driver);
        const uint64_t cpuBefore = processCpuNanos(child.pid);
        const std::string log = Record(sampler);
        workloadCpuNanos = processCpuNanos(child.pid) - cpuBefore;
        if (!sampler.isActive() && sampler.stopReason() == QVSessionRecorder::StopReasonNone) {
            skipQVProfile = log.find("perf_event_open") != std::string::npos ||
                                    log.find("failed to load") != std::string::npos
                                ? "the qvprofile driver could not sample here: " + log
                                : "";
            ASSERT_FALSE(skipQVProfile.empty()) << log;
        } else {
            const std::shared_ptr<QVSessionProfile> profile = sampler.collect();
            ASSERT_TRUE(profile && profile->callStackData());
            std::set<QVThreadId> threads;
            for (const auto& sample : profile->callStackData()->samples()) {
                if (!sample || sample->context().threadId().asProcessId().nativeIdentifier() != child.pid) continue;
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
        // Loaded by the sampler, so unloaded by it: no mount, no daemon.
        EXPECT_FALSE(driver->isLoaded());
    }
    EXPECT_FALSE(mounted(mount));
    // pgrep never counts itself; a shell around it would match the pattern.
    EXPECT_NE(RunCommand({"pgrep", "-f", "qvprofiled -f " + mount}), 0);
    EXPECT_FALSE(installed.chunksLeft()) << "temporary files left";

    // The driver serving oprofile's layout: the sampler switches it to timer
    // mode (loading it with "timer=1" through its init script).
    {
        QVSystemPaths::ScopedRoot paths(root.path());
        auto driver = std::make_shared<QVProfileDriverLinuxOprofile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
        EXPECT_TRUE(driver->isAvailable());
        ASSERT_FALSE(driver->isLoaded());
        QVSamplerLinuxOprofile sampler(OsTimerConfig(), driver);
        sampler.setNotify(nullptr);
        EXPECT_TRUE(driver->isLoaded());
        EXPECT_EQ(driver->processor(), QVProcessorTimer);
        EXPECT_FALSE(driver->stuckInEventMode());
        const std::string log = Record(sampler);
        if (sampler.stopReason() == QVSessionRecorder::StopReasonNone) {
            skipOprofile = "the oprofile driver could not sample here: " + log;
            ASSERT_NE(log.find("failed to"), std::string::npos) << log;
        } else {
            oprofileProfile = sampler.collect();
        }
        // Loaded for this sampler, so unloaded with its recording.
        EXPECT_FALSE(driver->isLoaded());
    }

    // Each driver: its name and an entry that shows its layout served.
    const struct {
        const char* name;
        const char* ready;
    } drivers[] = {{"qvprofile", "cpu_type"}, {"qvnotify", "dcookies"}, {"oprofile", "dcookies"}};
    for (const auto& d : drivers) {
        SCOPED_TRACE(d.name);
        const std::string name = d.name;
        const std::string driverMount = root.file("dev/" + name);
        const std::string init = root.file("etc/init.d/" + name);
        EXPECT_TRUE(FileCanExecute(init));
        std::string line;
        ASSERT_TRUE(FileReadString(root.file("etc/modprobe.d/" + name + ".conf"), line));
        EXPECT_EQ(line, "install " + name + " " + init + " start\n");
        if (!skipMount.empty() || shell(init + " start") != 0) {
            shell(init + " stop");
            skipMount = "mounting a FUSE filesystem was refused";
            continue;
        }
        EXPECT_TRUE(mounted(driverMount));
        EXPECT_TRUE(FileExists(driverMount + "/" + d.ready));
        EXPECT_EQ(shell(init + " start"), 0);  // already started
        EXPECT_EQ(shell(init + " status"), 0);
        EXPECT_EQ(shell(init + " stop"), 0);
        EXPECT_FALSE(mounted(driverMount));
        EXPECT_FALSE(DirectoryExists(driverMount));
        EXPECT_EQ(shell(init + " stop"), 0);  // already stopped
        EXPECT_NE(shell(init + " status"), 0);
        ASSERT_EQ(shell(init + " start"), 0);
    }

    ASSERT_EQ(installed.run("uninstall"), 0);  // stops what runs, then removes
    for (const auto& d : drivers) {
        const std::string name = d.name;
        EXPECT_FALSE(mounted(root.file("dev/" + name))) << name;
        EXPECT_FALSE(FileExists(root.file("etc/init.d/" + name))) << name;
        EXPECT_FALSE(FileExists(root.file("etc/modprobe.d/" + name + ".conf"))) << name;
        EXPECT_FALSE(FileExists(root.file("run/" + name + ".pid"))) << name;
    }
    EXPECT_FALSE(FileExists(root.file("usr/local/sbin/qvprofiled")));
    // Nothing of the daemon keeps running once its filesystems are gone (the
    // bracket keeps pgrep from finding the shell that runs it).
    EXPECT_NE(shell("pgrep -f '" + root.path() + "/usr/local/sbin/[q]vprofiled'"), 0);

    if (skipQVProfile.empty()) {
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
    if (skipOprofile.empty()) {
        ASSERT_TRUE(oprofileProfile && oprofileProfile->callStackData());
        // The workload's call tree, bottom-up: each worker's function carries
        // its thread's share. The example is built without frame pointers, so
        // its callers are the unwinder's business, not this stream's; the
        // sampled functions are what oprofile's offsets must bring back.
        QVCallTree tree(oprofileProfile->callStackData()->samples(), QVCallTree::leaf, QVCallTree::symbol);
        std::unordered_set<QVProcessId> ids;
        tree.getProcessIds(ids);
        QVCallTree::RootPtr workload;
        for (const QVProcessId& id : ids) {
            if (id.nativeIdentifier() == child.pid) workload = tree.rootNodeForProcessId(id);
        }
        ASSERT_TRUE(workload) << "no samples of the workload";
        double named = 0;
        for (const char* function : {"fnv1aHash", "multiplyMatrices", "fibonacci"}) {
            const QVCallTreeNode::NodePtr node = Child(*workload, function);
            ASSERT_TRUE(node) << function << "\n" << Describe(*workload);
            if (test::SanitizedBuild()) continue;
            // A quarter of the four threads' time each, give or take the sort.
            EXPECT_GE(node->totalWeight(), 0.1 * workload->totalWeight()) << Describe(*workload);
            named += node->totalWeight();
        }
        if (!test::SanitizedBuild()) {
            EXPECT_GE(named, 0.5 * workload->totalWeight()) << Describe(*workload);
        }
    }
    const std::string skip = skipQVProfile + skipOprofile + skipMount;
    if (!skip.empty()) GTEST_SKIP() << skip;
}
