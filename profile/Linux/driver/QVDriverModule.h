#pragma once

#include <string>
#include <vector>

namespace Quorvel {

/// What every kernel-module back-end does alike to find, start and stop its
/// module: ask modprobe whether the module exists and run the module's init
/// script. The init script is looked for under the library's etc directory
/// first and then in the system's /etc/init.d (through QVSystemPaths), where
/// the driver installer puts it.
namespace QVDriverModule {

/// "modprobe -n -q NAME" (plus "--allow-unsupported-modules" on SUSE) exits 0.
bool modprobeFinds(const std::string& name);
/// The modprobe that modprobeFinds runs ("/sbin/modprobe"); tests point it
/// at a stand-in. An empty path restores the default.
void setModprobePath(const std::string& path);

std::string initScriptPath(const std::string& name);
/// The script's wait status; -1 when it could not be run.
int runInitScript(const std::string& name, const std::vector<std::string>& args);

bool exitedWithZero(int status);
/// The exit code, 128 + the signal when killed, -1 when it never ran.
int exitStatusOf(int status);

}  // namespace QVDriverModule
}  // namespace Quorvel
