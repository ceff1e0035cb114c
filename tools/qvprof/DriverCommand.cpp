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

const char kDefaultMount[] = "/dev/qvprofile";

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
      {"mount", 0, "DIR", "serve the driver filesystem at DIR (default /dev/qvprofile)"},
      {"daemon", 0, "PATH", "the qvprofiled to install (default: the one built with qvprof)"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Installs or uninstalls the qvprofile driver: the qvprofiled daemon, the init\n"
                      "script /etc/init.d/qvprofile and the modprobe.d line, as root:\n"
                      "  qvprof driver install|uninstall [OPTIONS]",
                      options, "install|uninstall", 1, 1);
  arguments.setNotes(
      "The driver is loaded only while something records with it (qvprof record\n"
      "--driver qvprofile) or by '/etc/init.d/qvprofile start'. Uninstall stops a\n"
      "running driver first and removes every file install put there.\n"
      "Exit status: 0 on success, 1 when a file could not be written or removed, 2\n"
      "for a wrong command line.");
  return arguments;
}

DriverCommand::Layout DriverCommand::layoutFor(const std::string& root) {
  Layout layout;
  layout.daemon = root + "/usr/local/sbin/qvprofiled";
  layout.initScript = root + "/etc/init.d/qvprofile";
  layout.modprobeConf = root + "/etc/modprobe.d/qvprofile.conf";
  layout.pidFile = root.empty() ? "/run/qvprofile.pid" : root + "/run/qvprofile.pid";
  layout.runDirectory = root.empty() ? std::string() : root + "/run";
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
                                          const std::string& mount) {
  std::string text = replaceAll(templateText, "@DAEMON@", layout.daemon);
  text = replaceAll(text, "@ROOT@", mount);
  text = replaceAll(text, "@NAME@", "qvprofile");
  text = replaceAll(text, "@READY@", "cpu_type");
  text = replaceAll(text, "@DAEMON_ARGS@", "");
  return replaceAll(text, "@PIDFILE@", layout.pidFile);
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
  const Layout layout = layoutFor(root);
  if (action == "uninstall") {
    _uninstall(layout, out);
    return ExitSuccess;
  }
  const std::string mount = arguments.value("mount", kDefaultMount);
  if (mount.empty() || mount[0] != '/') throw UsageError(arguments.command(), "--mount: give an absolute directory");
  const std::string daemon = arguments.value("daemon", builtDaemon());
  if (daemon.empty() || !FileCanExecute(daemon)) {
    fail("no qvprofiled to install" + (daemon.empty() ? std::string() : " at " + daemon) +
         "; build it first (cmake --build build --target qvprofiled) or give --daemon");
  }
  _install(layout, daemon, mount, out);
  return ExitSuccess;
}

void DriverCommand::_install(const Layout& layout, const std::string& daemon, const std::string& mount,
                             std::ostream& out) {
  const std::string templatePath = GetShareDirectory() + "/qvprofile.init.in";
  const std::string templateText = readWhole(templatePath);
  writeFile(layout.daemon, readWhole(daemon), 0755);
  writeFile(layout.initScript, initScriptText(templateText, layout, mount), 0755);
  writeFile(layout.modprobeConf, "install qvprofile " + layout.initScript + " start\n", 0644);
  out << "qvprofile driver installed: " << layout.daemon << ", " << layout.initScript << ", " << layout.modprobeConf
      << "\n";
}

void DriverCommand::_uninstall(const Layout& layout, std::ostream& out) {
  if (FileCanExecute(layout.initScript)) {
    const int status = QVProcessManager::defaultManager().run(layout.initScript, {"stop"}, GetTempDirectory());
    if (status != 0) fail("'" + layout.initScript + " stop' failed; the driver may still be mounted");
  }
  for (const std::string& path : {layout.daemon, layout.initScript, layout.modprobeConf}) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("cannot remove " + path + ": " + std::strerror(errno));
  }
  if (!layout.runDirectory.empty()) ::rmdir(layout.runDirectory.c_str());
  out << "qvprofile driver uninstalled\n";
}

}  // namespace qvprof
}  // namespace Quorvel
