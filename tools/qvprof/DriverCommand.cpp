#include "DriverCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <vector>

#include "LogOptions.h"
#include "base/QVException.h"
#include "output/QVFileReplacement.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

namespace {

[[noreturn]] void fail(const std::string& reason) { throw QVException(reason, __LINE__, __FILE__); }

void makeDirectories(const std::string& path) {
  if (path.empty() || DirectoryExists(path)) return;
  makeDirectories(PathDirectory(path));
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("cannot create " + path + ": " + std::strerror(errno));
}

// Through a replacement: a device or directory at the target is refused,
// and readers never see a half-written file.
void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  makeDirectories(PathDirectory(path));
  QVFileReplacement file(path);
  if (!file.open()) fail("cannot write " + path + ": " + file.error());
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(file.fd(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("cannot write " + path + ": " + std::strerror(errno));
    done += size_t(n);
  }
  if (!file.commit()) fail("cannot write " + path + ": " + file.error());
  // The replacement settles the mode on commit; executables need theirs after.
  if (::chmod(path.c_str(), mode) != 0) fail("cannot set the mode of " + path + ": " + std::strerror(errno));
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

std::string selfDirectory() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  return PathDirectory(path);
}

}  // namespace

Arguments DriverCommand::arguments() const {
  std::vector<Option> options = {
      {"root", 0, "DIR", "install below DIR instead of / (for trying it out)"},
      {"mount", 0, "DIR", "serve the qvprofile driver filesystem at DIR (default /dev/qvprofile)"},
      {"notify-mount", 0, "DIR", "serve the qvnotify driver filesystem at DIR (default /dev/qvnotify)"},
      {"oprofile-mount", 0, "DIR", "serve the oprofile driver filesystem at DIR (default /dev/oprofile)"},
      {"daemon", 0, "PATH", "the qvprofiled to install (default: the one built with qvprof)"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Installs or uninstalls the user-space drivers qvprofile, qvnotify and oprofile\n"
                      "(timer mode): the qvprofiled daemon that serves them, and per driver the init\n"
                      "script /etc/init.d/NAME and the modprobe.d line, as root:\n"
                      "  qvprof driver install|uninstall [OPTIONS]",
                      options, "install|uninstall", 1, 1);
  arguments.setNotes(
      "A driver is loaded only while something records with it (qvprof record\n"
      "--driver qvprofile, which also runs qvnotify so that processes that exit\n"
      "early keep their names; or --driver oprofile) or by '/etc/init.d/NAME start'.\n"
      "Uninstall stops the running drivers first and removes every file install put\n"
      "there.\n"
      "Exit status: 0 on success, 1 when a file could not be written or removed, 2\n"
      "for a wrong command line.");
  return arguments;
}

DriverCommand::Layout DriverCommand::layoutFor(const std::string& root) {
  Layout layout;
  layout.daemon = root + "/usr/local/sbin/qvprofiled";
  layout.runDirectory = root.empty() ? std::string() : root + "/run";
  // name, mount option, default mount, ready entry, daemon options
  const struct {
    const char* name;
    const char* mountOption;
    const char* mount;
    const char* ready;
    const char* daemonArgs;
  } drivers[] = {
      {"qvprofile", "mount", "/dev/qvprofile", "cpu_type", ""},
      {"qvnotify", "notify-mount", "/dev/qvnotify", "pointer_size", "--notify"},
      {"oprofile", "oprofile-mount", "/dev/oprofile", "cpu_type", "--oprofile"},
  };
  for (const auto& d : drivers) {
    DriverFiles files;
    files.name = d.name;
    files.mountOption = d.mountOption;
    files.mount = d.mount;
    files.ready = d.ready;
    files.daemonArgs = d.daemonArgs;
    files.initScript = root + "/etc/init.d/" + files.name;
    files.modprobeConf = root + "/etc/modprobe.d/" + files.name + ".conf";
    files.pidFile = (root.empty() ? std::string("/run/") : root + "/run/") + files.name + ".pid";
    layout.drivers.push_back(files);
  }
  return layout;
}

std::string DriverCommand::builtDaemon() {
  const std::string self = selfDirectory();
  if (self.empty()) return std::string();
  for (const char* relative : {"/../driver/qvprofiled", "/../sbin/qvprofiled"}) {
    const std::string candidate = self + relative;
    if (FileCanExecute(candidate)) return candidate;
  }
  return std::string();
}

std::string DriverCommand::initScriptText(const std::string& templateText, const Layout& layout,
                                          const DriverFiles& driver) {
  std::string text = replaceAll(templateText, "@DAEMON@", layout.daemon);
  text = replaceAll(text, "@ROOT@", driver.mount);
  text = replaceAll(text, "@NAME@", driver.name);
  text = replaceAll(text, "@READY@", driver.ready);
  text = replaceAll(text, "@DAEMON_ARGS@", driver.daemonArgs);
  return replaceAll(text, "@PIDFILE@", driver.pidFile);
}

int DriverCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream&) {
  const std::string action = arguments.operands().front();
  if (action != "install" && action != "uninstall") {
    throw UsageError(arguments.command(), "unknown action '" + action + "' (install or uninstall)");
  }
  std::string root = arguments.value("root");
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (arguments.has("root") && (root.empty() || root[0] != '/')) {
    throw UsageError(arguments.command(), "--root: give an absolute directory");
  }
  Layout layout = layoutFor(root);
  if (action == "uninstall") {
    _uninstall(layout, out);
    return ExitSuccess;
  }
  for (DriverFiles& driver : layout.drivers) {
    driver.mount = arguments.value(driver.mountOption, driver.mount);
    if (driver.mount.empty() || driver.mount[0] != '/') {
      throw UsageError(arguments.command(), "--" + driver.mountOption + ": give an absolute directory");
    }
  }
  const std::string daemon = arguments.value("daemon", builtDaemon());
  if (daemon.empty() || !FileCanExecute(daemon)) {
    fail("no qvprofiled to install" + (daemon.empty() ? std::string() : " at " + daemon) +
         "; build it first (cmake --build build --target qvprofiled) or give --daemon");
  }
  _install(layout, daemon, out);
  return ExitSuccess;
}

void DriverCommand::_install(const Layout& layout, const std::string& daemon, std::ostream& out) {
  const std::string templatePath = GetShareDirectory() + "/qvprofile.init.in";
  const std::string templateText = readWhole(templatePath);
  writeFile(layout.daemon, readWhole(daemon), 0755);
  for (const DriverFiles& driver : layout.drivers) {
    writeFile(driver.initScript, initScriptText(templateText, layout, driver), 0755);
    writeFile(driver.modprobeConf, "install " + driver.name + " " + driver.initScript + " start\n", 0644);
    out << driver.name << " driver installed: " << layout.daemon << ", " << driver.initScript << ", "
        << driver.modprobeConf << "\n";
  }
}

void DriverCommand::_uninstall(const Layout& layout, std::ostream& out) {
  // Every driver is stopped before the daemon they run goes.
  for (const DriverFiles& driver : layout.drivers) {
    if (!FileCanExecute(driver.initScript)) continue;
    const int status = QVProcessManager::defaultManager().run(driver.initScript, {"stop"}, GetTempDirectory());
    if (status != 0) fail("'" + driver.initScript + " stop' failed; the driver may still be mounted");
  }
  std::vector<std::string> paths;
  for (const DriverFiles& driver : layout.drivers) {
    paths.push_back(driver.initScript);
    paths.push_back(driver.modprobeConf);
  }
  paths.push_back(layout.daemon);
  for (const std::string& path : paths) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("cannot remove " + path + ": " + std::strerror(errno));
  }
  if (!layout.runDirectory.empty()) ::rmdir(layout.runDirectory.c_str());
  for (const DriverFiles& driver : layout.drivers) out << driver.name << " driver uninstalled\n";
}

}  // namespace qvprof
}  // namespace Quorvel
