#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof driver install|uninstall": puts the user-space drivers on the
// machine the way kernel modules are installed (the qvprofiled daemon that
// serves them all and, per driver, the init script /etc/init.d/NAME whose
// start mounts the driver filesystem and whose stop unmounts it, and the
// modprobe.d line that makes "modprobe -n -q NAME" succeed), or removes them
// all after stopping the drivers. --root installs below another directory;
// --mount, --notify-mount and --oprofile-mount serve the driver filesystems
// elsewhere than /dev/qvprofile, /dev/qvnotify and /dev/oprofile.
class DriverCommand : public Command {
 public:
  std::string name() const override { return "driver"; }
  std::string summary() const override { return "install or uninstall the user-space drivers"; }
  Arguments arguments() const override;

  // One driver the daemon serves, and its files.
  struct DriverFiles {
    std::string name;          // "qvprofile", "qvnotify", "oprofile"
    std::string mountOption;   // the option that moves its mount
    std::string mount;         // where its filesystem is served
    std::string ready;         // the entry that tells the mount is served
    std::string daemonArgs;    // the daemon's options for this layout
    std::string initScript;    // etc/init.d/NAME
    std::string modprobeConf;  // etc/modprobe.d/NAME.conf
    std::string pidFile;       // where the init script keeps the daemon's pid
  };
  // Where the files go for a root ("" for the machine itself).
  struct Layout {
    std::string daemon;        // the installed qvprofiled
    std::string runDirectory;  // made for the pid files below a root, "" otherwise
    std::vector<DriverFiles> drivers;
  };
  static Layout layoutFor(const std::string& root);
  // The built qvprofiled beside this qvprofile: the build tree's driver/ or
  // an installation's sbin/; "" when there is none.
  static std::string builtDaemon();
  // The init script's text of one driver of a layout.
  static std::string initScriptText(const std::string& templateText, const Layout& layout,
                                    const DriverFiles& driver);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;

 private:
  static void _install(const Layout& layout, const std::string& daemon, std::ostream& out);
  static void _uninstall(const Layout& layout, std::ostream& out);
};

}  // namespace qvprof
}  // namespace Quorvel
