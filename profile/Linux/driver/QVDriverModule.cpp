#include "Linux/driver/QVDriverModule.h"

#include <sys/wait.h>

#include <mutex>

#include "system/QVEffectiveUser.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace QVDriverModule {

namespace {

const char kDefaultModprobe[] = "/sbin/modprobe";

std::mutex& ModprobeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& ModprobePath() {
  static std::string path = kDefaultModprobe;
  return path;
}

// SUSE kernels refuse modules without support status unless told otherwise.
bool IsSuseFamily() {
  std::string release;
  if (!FileReadString(QVSystemPaths::path("/etc/os-release"), release)) return false;
  for (const char* marker :
       {"ID=\"sles\"", "ID=sles", "ID=\"opensuse", "ID=opensuse", "ID_LIKE=\"suse", "ID_LIKE=suse"}) {
    if (release.find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

bool modprobeFinds(const std::string& name) {
  QVEffectiveUser root(0, 0);
  std::vector<std::string> args = {"-n", "-q", name};
  if (IsSuseFamily()) args.push_back("--allow-unsupported-modules");
  std::string modprobe;
  {
    std::lock_guard<std::mutex> lock(ModprobeMutex());
    modprobe = ModprobePath();
  }
  return exitedWithZero(QVProcessManager::defaultManager().run(modprobe, args, GetTempDirectory()));
}

void setModprobePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(ModprobeMutex());
  ModprobePath() = path.empty() ? kDefaultModprobe : path;
}

std::string initScriptPath(const std::string& name) {
  const std::string etc = GetEtcDirectory();
  if (!etc.empty()) {
    const std::string own = etc + "/init.d/" + name;
    if (FileExists(own)) return own;
  }
  return QVSystemPaths::path("/etc/init.d/" + name);
}

int runInitScript(const std::string& name, const std::vector<std::string>& args) {
  return QVProcessManager::defaultManager().run(initScriptPath(name), args, GetTempDirectory());
}

bool exitedWithZero(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

int exitStatusOf(int status) {
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace QVDriverModule
}  // namespace Quorvel
