// "qvprof driver install|uninstall" run as a user runs it, into a temporary
// root: what install puts there, the init script it writes starting and
// stopping the driver, and uninstall taking every file away again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;
using Quorvel::test::ScratchDirectory;

namespace {

struct Outcome {
    int status;
    std::string err;
};

Outcome qvprof(const ScratchDirectory& scratch, const std::string& args) {
    const std::string err = scratch.file("err.txt");
    const int status = std::system((std::string(QV_QVPROF_PATH) + " " + args + " >/dev/null 2>" + err).c_str());
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string()};
    FileReadString(err, run.err);
    return run;
}

bool mounted(const std::string& path) {
    std::string mounts;
    FileReadString("/proc/self/mounts", mounts);
    return mounts.find(" " + path + " ") != std::string::npos;
}

}  // namespace

TEST(QvprofDriver, MistakesAreRefusedBeforeAnythingIsWritten) {
    ScratchDirectory scratch("qvdrivercmd");
    const struct {
        std::string args;
        int status;
        const char* says;
    } cases[] = {
        {"driver", 2, "install|uninstall"},
        {"driver frob", 2, "unknown action 'frob'"},
        {"driver install --root relative/dir", 2, "--root: give an absolute directory"},
        {"driver install --root " + scratch.path() + " --mount relative", 2, "--mount: give an absolute directory"},
        {"driver install --root " + scratch.path() + " --daemon /nonexistent/qvprofiled", 1, "no qvprofiled to install"},
    };
    for (const auto& c : cases) {
        const Outcome run = qvprof(scratch, c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
    }
    EXPECT_FALSE(FileExists(scratch.file("etc")));
    EXPECT_FALSE(FileExists(scratch.file("usr")));
}

TEST(QvprofDriver, InstallsWhatTheInitScriptRunsAndUninstallRemovesIt) {
    ScratchDirectory scratch("qvdrivercmd");
    const std::string root = scratch.path();
    const std::string mount = scratch.file("dev/qvprofile");
    const std::string where = " --root " + root + " --mount " + mount;
    ASSERT_EQ(qvprof(scratch, "driver install" + where).status, 0);
    const std::string init = scratch.file("etc/init.d/qvprofile");
    const std::string daemon = scratch.file("usr/local/sbin/qvprofiled");
    EXPECT_EQ(FileModeFlags(init) & 0777, 0755u);
    EXPECT_EQ(FileModeFlags(daemon) & 0777, 0755u);
    std::string line, script;
    ASSERT_TRUE(FileReadString(scratch.file("etc/modprobe.d/qvprofile.conf"), line));
    EXPECT_EQ(line, "install qvprofile " + init + " start\n");
    ASSERT_TRUE(FileReadString(init, script));
    for (const std::string& text : {"DAEMON=\"" + daemon + "\"", "ROOT=\"" + mount + "\"",
                                    "PIDFILE=\"" + root + "/run/qvprofile.pid\""}) {
        EXPECT_NE(script.find(text), std::string::npos) << text;
    }
    // A second install replaces the files in place.
    EXPECT_EQ(qvprof(scratch, "driver install" + where).status, 0);

    bool started = false;
    if (access("/dev/fuse", R_OK | W_OK) == 0 && std::system((init + " start >/dev/null 2>&1").c_str()) == 0) {
        started = true;
        EXPECT_TRUE(mounted(mount));
        EXPECT_TRUE(FileExists(mount + "/cpu_type"));
    }
    // Uninstall stops a running driver before removing its files.
    ASSERT_EQ(qvprof(scratch, "driver uninstall --root " + root).status, 0);
    EXPECT_FALSE(mounted(mount));
    for (const std::string& path : {init, daemon, scratch.file("etc/modprobe.d/qvprofile.conf"),
                                    scratch.file("run/qvprofile.pid"), scratch.file("run")}) {
        EXPECT_FALSE(FileExists(path)) << path;
    }
    EXPECT_EQ(qvprof(scratch, "driver uninstall --root " + root).status, 0);  // nothing left to remove
    if (!started) GTEST_SKIP() << "the driver could not be mounted here (FUSE refused); files checked only";
}
