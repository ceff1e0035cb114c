// Reading a process's memory map into sections and modules, for a process
// that maps many shared libraries: the work a profiler repeats whenever a
// target loads or unloads a library.

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Linux/process/QVProcessLinux.h"
#include "model/QVDebugger.h"
#include "model/QVProcess.h"
#include "symbols/QVModule.h"

namespace {

using namespace Quorvel;

constexpr size_t kWantedLibraries = 60;

// Libraries whose constructors take over the process (allocators,
// sanitizer runtimes, toolkits) are left alone; anything else that loads is
// fine, since only its mappings matter.
bool SafeToLoad(const std::string& name) {
  static const char* const kAvoid[] = {"san", "malloc", "gtk", "gdk", "GL", "Qt", "systemd", "pthread",
                                       "libc.", "libm.", "ld-linux", "libdl", "nss", "pam", "audit"};
  for (const char* avoid : kAvoid) {
    if (name.find(avoid) != std::string::npos) {
      return false;
    }
  }
  return name.compare(0, 3, "lib") == 0 && name.find(".so.") != std::string::npos;
}

size_t LoadManyLibraries() {
  static size_t loaded = 0;
  if (loaded > 0) {
    return loaded;
  }
  const std::string folder = "/usr/lib/x86_64-linux-gnu/";
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (loaded >= kWantedLibraries) {
      break;
    }
    if (SafeToLoad(name) && ::dlopen((folder + name).c_str(), RTLD_LAZY | RTLD_LOCAL) != nullptr) {
      ++loaded;
    }
  }
  return loaded;
}

void BM_ReadSectionMapOfManyLibraries(benchmark::State& state) {
  const size_t libraries = LoadManyLibraries();
  const QVProcessId id = QVProcessLinux::updateProcessList(static_cast<int>(::getpid()), false);
  const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(id, false, false);
  if (!process || !process->debugger()) {
    state.SkipWithError("this process could not be discovered");
    return;
  }
  const std::shared_ptr<QVDebugger> debugger = process->debugger();
  size_t sections = 0;
  for (auto _ : state) {
    sections = debugger->sectionMap(true).size();
    benchmark::DoNotOptimize(sections);
  }
  state.counters["libraries_loaded"] = static_cast<double>(libraries);
  state.counters["sections"] = static_cast<double>(sections);
}
BENCHMARK(BM_ReadSectionMapOfManyLibraries)->Unit(benchmark::kMillisecond);

}  // namespace
