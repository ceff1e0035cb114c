#pragma once

#include <iosfwd>
#include <string>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof driver install|uninstall": puts the qvprofile user-space driver on
// the machine the way a kernel module is installed (the qvprofiled daemon,
// the init script /etc/init.d/qvprofile whose start mounts the driver
// filesystem and whose stop unmounts it, and the modprobe.d line that makes
// "modprobe -n -q qvprofile" succeed), or removes all three after stopping
// the driver. --root installs below another directory, --mount serves the
// driver filesystem elsewhere than /dev/qvprofile.
class DriverCommand : public Command {
 public:
  std::string name() const override { return "driver"; }
  std::string summary() const override { return "install or uninstall the qvprofile driver"; }
  Arguments arguments() const override;

  // Where the files go for a root ("" for the machine itself).
  struct Layout {
    std::string daemon;        // the installed qvprofiled
    std::string initScript;    // etc/init.d/qvprofile
    std::string modprobeConf;  // etc/modprobe.d/qvprofile.conf
    std::string pidFile;       // where the init script keeps the daemon's pid
    std::string runDirectory;  // made for the pid file below a root, "" otherwise
  };
  static Layout layoutFor(const std::string& root);
  // The built qvprofiled beside this qvprofile: the build tree's driver/ or
  // an installation's sbin/; "" when there is none.
  static std::string builtDaemon();
  // The init script's text for a layout and driver root.
  static std::string initScriptText(const std::string& templateText, const Layout& layout, const std::string& mount);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;

 private:
  static void _install(const Layout& layout, const std::string& daemon, const std::string& mount, std::ostream& out);
  static void _uninstall(const Layout& layout, std::ostream& out);
};

}  // namespace qvprof
}  // namespace Quorvel
