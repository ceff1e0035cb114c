// Installs the user-space driver into a temporary root and runs its init
// script the way the library does: start mounts, stop unmounts, both are
// idempotent, and uninstall leaves nothing behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "support/TestSupport.h"
#include "system/QVFileUtils.h"

using namespace Quorvel;
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

}  // namespace

TEST(QVProfiledInstall, InitScriptsStartStopAndUninstallRemovesEverything) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is not usable here";
    ScratchDirectory root("qvinstall");
    const std::string install = std::string("bash ") + QV_SOURCE_DIR + "/scripts/install-driver";
    const std::string options = " --root " + root.path() + " --mount " + root.file("dev/qvprofile") +
                                " --notify-mount " + root.file("dev/qvnotify") + " --oprofile-mount " +
                                root.file("dev/oprofile") + " --daemon " + QV_PROFILED_PATH;
    ASSERT_EQ(shell(install + " install" + options), 0);
    EXPECT_TRUE(FileCanExecute(root.file("usr/local/sbin/qvprofiled")));

    // Each driver: its name and an entry that shows its layout served.
    const struct {
        const char* name;
        const char* ready;
    } drivers[] = {{"qvprofile", "cpu_type"}, {"qvnotify", "dcookies"}, {"oprofile", "dcookies"}};
    for (const auto& d : drivers) {
        SCOPED_TRACE(d.name);
        const std::string name = d.name;
        const std::string mount = root.file("dev/" + name);
        const std::string init = root.file("etc/init.d/" + name);
        EXPECT_TRUE(FileCanExecute(init));
        std::string line;
        ASSERT_TRUE(FileReadString(root.file("etc/modprobe.d/" + name + ".conf"), line));
        EXPECT_EQ(line, "install " + name + " " + init + " start\n");

        if (shell(init + " start") != 0) {
            shell(init + " stop");
            GTEST_SKIP() << "mounting a FUSE filesystem was refused";
        }
        EXPECT_TRUE(mounted(mount));
        EXPECT_TRUE(FileExists(mount + "/" + d.ready));
        EXPECT_EQ(shell(init + " start"), 0);  // already started
        EXPECT_EQ(shell(init + " status"), 0);
        EXPECT_EQ(shell(init + " stop"), 0);
        EXPECT_FALSE(mounted(mount));
        EXPECT_FALSE(DirectoryExists(mount));
        EXPECT_EQ(shell(init + " stop"), 0);  // already stopped
        EXPECT_NE(shell(init + " status"), 0);
        ASSERT_EQ(shell(init + " start"), 0);
    }

    ASSERT_EQ(shell(install + " uninstall" + options), 0);  // stops what runs, then removes
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
}
