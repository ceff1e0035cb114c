// "qvprof driver install|uninstall" run as a user runs it, into a temporary
// root: what install puts there, the init script it writes starting and
// stopping the driver, and uninstall taking every file away again.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <algorithm>
#include <sstream>
#include <string>

#include "DriversCommand.h"
#include "Linux/driver/QVDriverModule.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "support/TestSupport.h"
#include "system/QVSystemPaths.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;
using Quorvel::test::ScratchDirectory;

namespace {

struct Outcome {
    int status;
    std::string err;
};

Outcome runQvprof(const ScratchDirectory& scratch, const std::string& args) {
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
        const Outcome run = runQvprof(scratch, c.args);
        EXPECT_EQ(run.status, c.status) << c.args;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
    }
    EXPECT_FALSE(FileExists(scratch.file("etc")));
    EXPECT_FALSE(FileExists(scratch.file("usr")));
}

// What "qvprof drivers" says before and after the install is read the way
// the library finds a driver: modprobe's answer and the init script. The
// stand-in modprobe finds a module exactly when the root holds its
// modprobe.d line.
TEST(QvprofDriver, InstallsWhatTheInitScriptsRunDriversListsItAndUninstallRemovesIt) {
    ScratchDirectory scratch("qvdrivercmd");
    const std::string root = scratch.path();
    const std::string modprobe = scratch.file("modprobe");
    FileWriteString(modprobe, "#!/bin/sh\nfor name; do :; done\ntest -f " + root + "/etc/modprobe.d/$name.conf\n");
    ::chmod(modprobe.c_str(), 0755);
    QVDriverModule::setModprobePath(modprobe);
    auto notifyLine = [&]() {
        QVSystemPaths::ScopedRoot paths(root);
        QVNotifyDriverLinux driver(QVNotifyDriver::QV_NOTIFY_DRIVER_ID_LINUX_QVNOTIFY, "/dev/qvnotify");
        return driver.isAvailable();
    };
    EXPECT_FALSE(notifyLine());
    // Each driver: its mount option, where the test serves it, the entry
    // that shows it served.
    const struct {
        std::string name, option, mount, ready;
    } drivers[] = {
        {"qvprofile", "--mount", scratch.file("dev/qvprofile"), "cpu_type"},
        {"qvnotify", "--notify-mount", scratch.file("dev/qvnotify"), "dcookies"},
    };
    std::string where = " --root " + root;
    for (const auto& d : drivers) where += " " + d.option + " " + d.mount;
    ASSERT_EQ(runQvprof(scratch, "driver install" + where).status, 0);
    const std::string daemon = scratch.file("usr/local/sbin/qvprofiled");
    EXPECT_EQ(FileModeFlags(daemon) & 0777, 0755u);
    for (const auto& d : drivers) {
        SCOPED_TRACE(d.name);
        const std::string init = scratch.file("etc/init.d/" + d.name);
        EXPECT_EQ(FileModeFlags(init) & 0777, 0755u);
        std::string line, script;
        ASSERT_TRUE(FileReadString(scratch.file("etc/modprobe.d/" + d.name + ".conf"), line));
        EXPECT_EQ(line, "install " + d.name + " " + init + " start\n");
        ASSERT_TRUE(FileReadString(init, script));
        for (const std::string& text : {"DAEMON=\"" + daemon + "\"", "ROOT=\"" + d.mount + "\"",
                                        "PIDFILE=\"" + root + "/run/" + d.name + ".pid\""}) {
            EXPECT_NE(script.find(text), std::string::npos) << text;
        }
    }
    // A second install replaces the files in place.
    EXPECT_EQ(runQvprof(scratch, "driver install" + where).status, 0);
    EXPECT_TRUE(notifyLine());
    {
        // The command's own listing, from a registry filled after the install.
        QVSystemPaths::ScopedRoot paths(root);
        std::ostringstream out;
        qvprof::DriversCommand::writeDrivers(out);
        EXPECT_NE(out.str().find("Process-exit notification driver qvnotify (notify.driver.linux.qvnotify): available"),
                  std::string::npos)
            << out.str();
        // The profile drivers' lines: name, then whether it is available.
        std::istringstream lines(out.str());
        std::string line;
        bool oprofile = false;
        while (std::getline(lines, line)) {
            std::istringstream words(line.substr(std::min<size_t>(2, line.size())));
            std::string name, state;
            words >> name >> state;
            if (name == "oprofile") oprofile = state == "available";
        }
        EXPECT_TRUE(oprofile) << out.str();
    }

    bool started = access("/dev/fuse", R_OK | W_OK) == 0;
    for (const auto& d : drivers) {
        const std::string init = scratch.file("etc/init.d/" + d.name);
        if (!started || std::system((init + " start >/dev/null 2>&1").c_str()) != 0) {
            started = false;
            break;
        }
        EXPECT_TRUE(mounted(d.mount)) << d.name;
        // Each mount serves its own layout.
        EXPECT_TRUE(FileExists(d.mount + "/" + d.ready)) << d.name;
    }
    // Uninstall stops the running drivers before removing their files.
    ASSERT_EQ(runQvprof(scratch, "driver uninstall --root " + root).status, 0);
    for (const auto& d : drivers) {
        EXPECT_FALSE(mounted(d.mount)) << d.name;
        for (const std::string& path : {scratch.file("etc/init.d/" + d.name),
                                        scratch.file("etc/modprobe.d/" + d.name + ".conf"),
                                        scratch.file("run/" + d.name + ".pid")}) {
            EXPECT_FALSE(FileExists(path)) << path;
        }
    }
    EXPECT_FALSE(FileExists(daemon));
    EXPECT_FALSE(FileExists(scratch.file("run")));
    EXPECT_FALSE(notifyLine());
    QVDriverModule::setModprobePath("");
    EXPECT_EQ(runQvprof(scratch, "driver uninstall --root " + root).status, 0);  // nothing left to remove
    if (!started) GTEST_SKIP() << "the drivers could not be mounted here (FUSE refused); files checked only";
}
