// Records the example workload through the user-space driver serving
// oprofile's layout in timer mode, installed into a temporary root the way a
// machine has it: the sampler switches the driver to timer mode (loading it
// with "timer=1" through its init script), samples, and decodes oprofile's
// cookies and offsets into the workload's call tree. Skips only where FUSE or
// perf_event_open is refused.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Linux/oprofile/QVProfileDriverLinuxOprofile.h"
#include "Linux/oprofile/QVSamplerLinuxOprofile.h"
#include "calltree/QVCallTree.h"
#include "calltree/QVCallTreeNode.h"
#include "calltree/QVCallTreeRootNode.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "ids/QVProcessId.h"
#include "session/QVSessionDataCallStackTenures.h"
#include "session/QVSessionProfile.h"
#include "support/TestSupport.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"

using namespace Quorvel;
using Quorvel::test::CaptureLog;
using Quorvel::test::ScratchDirectory;

namespace {

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

TEST(QVSamplerLinuxOprofileLive, TimerModeRecordingShowsTheWorkloadsCallTree) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here";
    ScratchDirectory root("qvoplive");
    ScratchDirectory chunks("qvoplivechunks");
    test::ScopedEnvironment tmpdir("TMPDIR", chunks.path().c_str());
    ASSERT_EQ(symlink("/proc", root.file("proc").c_str()), 0);
    ASSERT_EQ(symlink("/sys", root.file("sys").c_str()), 0);
    const std::string install = std::string("bash ") + QV_SOURCE_DIR + "/scripts/install-driver";
    const std::string options = " --root " + root.path() + " --mount " + root.file("dev/qvprofile") +
                                " --notify-mount " + root.file("dev/qvnotify") + " --oprofile-mount " +
                                root.file("dev/oprofile") + " --daemon " + QV_PROFILED_PATH;
    ASSERT_EQ(std::system((install + " install" + options + " >/dev/null").c_str()), 0);

    std::string skip;
    std::shared_ptr<QVSessionProfile> profile;
    pid_t child = -1;
    {
        QVSystemPaths::ScopedRoot paths(root.path());
        auto driver = std::make_shared<QVProfileDriverLinuxOprofile>(
            QVProfileDriver::QV_PROFILE_DRIVER_ID_LINUX_OPROFILE, "/dev/oprofile");
        EXPECT_TRUE(driver->isAvailable());
        ASSERT_FALSE(driver->isLoaded());
        auto config = std::make_shared<QVSessionConfig>(QVSessionConfig::TriggerTimerOS);
        config->timerConfig->interval = 0.001;
        QVSamplerLinuxOprofile sampler(config, driver);
        sampler.setNotify(nullptr);
        // The configuration put the driver in timer mode.
        EXPECT_TRUE(driver->isLoaded());
        EXPECT_EQ(driver->processor(), QVProcessorTimer);
        EXPECT_FALSE(driver->stuckInEventMode());

        child = fork();
        if (child == 0) {
            execl(QV_WORKLOAD_PATH, QV_WORKLOAD_PATH, "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_GT(child, 0);
        const std::string log = CaptureLog([&] {
            if (!sampler.start()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            sampler.stop();
        });
        if (sampler.stopReason() == QVSessionRecorder::StopReasonNone) {
            skip = "the driver could not sample here: " + log;
            ASSERT_NE(log.find("failed to"), std::string::npos) << log;
        } else {
            profile = sampler.collect();
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // Loaded for this sampler, so unloaded with its recording.
        EXPECT_FALSE(driver->isLoaded());
    }
    ASSERT_EQ(std::system((install + " uninstall" + options + " >/dev/null").c_str()), 0);
    EXPECT_FALSE(FileExists(root.file("etc/init.d/oprofile")));
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_TRUE(profile && profile->callStackData());

    // The workload's call tree, bottom-up: each worker's function carries its
    // thread's share. The example is built without frame pointers, so its
    // callers are the unwinder's business, not this stream's; the sampled
    // functions are what oprofile's offsets must bring back.
    QVCallTree tree(profile->callStackData()->samples(), QVCallTree::leaf, QVCallTree::symbol);
    std::unordered_set<QVProcessId> ids;
    tree.getProcessIds(ids);
    QVCallTree::RootPtr workload;
    for (const QVProcessId& id : ids) {
        if (id.nativeIdentifier() == child) workload = tree.rootNodeForProcessId(id);
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
