#include "Linux/process/QVProcessLinux.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_set>
#include <utility>

#include <boost/algorithm/string/trim.hpp>

#include "base/QVLog.h"
#include "data/QVData.h"
#include "Linux/kernel/QVProcessLinuxKernel.h"
#include "Linux/process/QVThreadLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "model/QVProcessDiscovery.h"
#include "system/QVSystemPaths.h"
#include "time/QVTime.h"

namespace fs = std::filesystem;

namespace Quorvel {

std::recursive_mutex QVProcessLinux::processIdMapLock;

namespace {

struct IconTables {
  QVProcessLinux::ExeToPixMap exeToPixMap;
  QVProcessLinux::SearchPaths iconSearchPaths;
  QVProcessLinux::SearchPaths icon16SearchPaths;
};

// Built once under _init()'s guard and only read afterwards.
IconTables& Tables() {
  static IconTables tables;
  return tables;
}

// What the process model's registry updates reach once Linux processes are
// in use.
class QVLinuxProcessDiscovery : public QVProcessDiscovery {
 public:
  void updateProcessList(bool loadSectionMaps) override { QVProcessLinux::updateProcessList(loadSectionMaps); }
  QVProcessId updateProcessList(int pid, bool loadSectionMaps) override {
    return QVProcessLinux::updateProcessList(pid, loadSectionMaps);
  }
  void updateThreadList(bool loadSectionMaps) override { QVThreadLinux::updateThreadList(loadSectionMaps); }
  void updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps) override {
    QVThreadLinux::updateThreadListForProcess(processId, loadSectionMaps);
  }
  std::shared_ptr<QVProcess> currentKernelProcess(bool loadNow) override {
    return QVProcessLinuxKernel::currentKernelProcess(loadNow);
  }
};

// A test fixture root, or the real file system through QVSystemPaths.
std::string Resolve(const std::string& root, const std::string& path) {
  return root.empty() ? QVSystemPaths::path(path) : root + path;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return fs::exists(path, error);
}

bool IsDirectory(const fs::path& path) {
  std::error_code error;
  return fs::is_directory(path, error);
}

// The entries of a directory in name order, so that tables built from it do
// not depend on the order the file system lists them in. Unreadable
// directories give nothing.
std::vector<fs::path> SortedEntries(const std::string& directory) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// realpath(), so that links into an already walked directory do not walk it
// twice (and cyclic links terminate).
std::string RealPath(const fs::path& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? std::string() : real.string();
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

boost::posix_time::ptime ToTime(uint64_t nanos) {
  return nanos == 0 ? boost::posix_time::ptime() : NanosToUniversalTime(nanos);
}

// Icons are small: read whole, with the size from seeking to the end. An
// unreadable file gives no icon rather than a partial one.
std::shared_ptr<QVData> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return nullptr;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0) {
    return nullptr;
  }
  in.seekg(0, std::ios::beg);
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
    return nullptr;
  }
  return std::make_shared<QVData>(std::move(bytes));
}

// At library load, so that the process model's lookups with update find the
// machine's processes, threads and kernel before anyone has named a Linux
// class.
const bool kDiscoveryInstalled = [] {
  QVProcessDiscovery::install(std::make_shared<QVLinuxProcessDiscovery>());
  return true;
}();

}  // namespace

QVProcessLinux::QVProcessLinux(const QVProcessId& processId, const std::string& name,
                               const std::string& executablePath)
    : QVProcess(processId, name, executablePath), taskInfo_(processId.nativeIdentifier()) {
  _fill();
}

QVProcessLinux::QVProcessLinux(const QVProcessId& processId, const std::string& name,
                               const std::string& executablePath, const boost::posix_time::ptime& startTime,
                               const boost::posix_time::ptime& exitTime, const SectionMap& sectionMap)
    : QVProcess(processId, name, executablePath, startTime, exitTime, sectionMap),
      taskInfo_(processId.nativeIdentifier()) {
  _fill();
}

QVProcessLinux::~QVProcessLinux() = default;

void QVProcessLinux::_fill() {
  _init();
  if (taskInfo_.ppid() > 0) {
    parentProcessId_ = QVProcessIdFromNativeIdentifier(static_cast<int>(taskInfo_.ppid()));
  }
  const std::string taskName = taskInfo_.name();
  if (!taskName.empty()) {
    name_ = taskName;
  }
  const std::string executable = taskInfo_.executable();
  if (!executable.empty()) {
    executablePath_ = executable;
  }
  userIdentifier_ = taskInfo_.realUID();
  // One icon per process from discovery, the large one preferred.
  std::shared_ptr<QVData> icon = _getIconData(true);
  if (!icon) {
    icon = _getIconData(false);
  }
  if (icon) {
    icons_.push_back(icon);
  }
  if (const uint64_t start = taskInfo_.startTime()) {
    startTime_ = ToTime(start);
  }
  architecture_ = taskInfo_.architecture();
  mutableProperties().setString(PROPERTY_PROCESS_TYPE, VAL_PROCESS_USER);
}

// Created on demand rather than at construction: discovery makes an object
// for every process of the machine, and most are never looked into beyond
// their maps.
std::shared_ptr<QVDebugger> QVProcessLinux::debugger() const {
  std::lock_guard<std::mutex> lock(debuggerLock_);
  if (!debugger_) {
    // The debugger keeps a reference to its process: this object owns it,
    // so the process outlives it.
    debugger_ = std::make_shared<QVDebuggerLinux>(const_cast<QVProcessLinux&>(*this), false, false);
  }
  return debugger_;
}

// Asked lazily: polling every process for its exit costs a /proc read each,
// while most exit times are never looked at. To the second, like the start
// times /proc gives.
void QVProcessLinux::_updateProcessTimeInfo() const {
  if (exitTime_.is_not_a_date_time() && !taskInfo_.isRunning()) {
    const boost::posix_time::ptime now = CurrentUniversalTime();
    exitTime_ = boost::posix_time::ptime(now.date(), boost::posix_time::seconds(now.time_of_day().total_seconds()));
  }
}

// Only addresses that are known are cached: a module that is not mapped yet
// may be loaded later, and the next question should see it.
unsigned long QVProcessLinux::moduleStartAddress(const QVModuleId& moduleId) {
  const auto found = moduleAddrMap_.find(moduleId);
  if (found != moduleAddrMap_.end()) {
    return found->second;
  }
  const std::shared_ptr<QVDebugger> debugger = this->debugger();
  const unsigned long address = debugger ? debugger->moduleStartAddress(moduleId) : 0;
  if (address != 0) {
    moduleAddrMap_[moduleId] = address;
  }
  return address;
}

void QVProcessLinux::setModuleStartAddress(const QVModuleId& moduleId, unsigned long address) {
  moduleAddrMap_[moduleId] = address;
}

void QVProcessLinux::_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    _initExeToPixMap();
    _initIconSearchPaths();
  });
}

void QVProcessLinux::_initExeToPixMap() { Tables().exeToPixMap = _readExeToPixMap(""); }

void QVProcessLinux::_initIconSearchPaths() {
  IconTables& tables = Tables();
  tables.iconSearchPaths.clear();
  tables.icon16SearchPaths.clear();
  _findIconSearchPaths("", tables.iconSearchPaths, tables.icon16SearchPaths);
}

const QVProcessLinux::ExeToPixMap& QVProcessLinux::exeToPixMap() { return Tables().exeToPixMap; }
const QVProcessLinux::SearchPaths& QVProcessLinux::iconSearchPaths() { return Tables().iconSearchPaths; }
const QVProcessLinux::SearchPaths& QVProcessLinux::icon16SearchPaths() { return Tables().icon16SearchPaths; }

std::shared_ptr<QVData> QVProcessLinux::_getIconData(bool large) const {
  const IconTables& tables = Tables();
  return _iconDataForExecutable(executablePath_, large, tables.exeToPixMap, tables.iconSearchPaths,
                                tables.icon16SearchPaths, "");
}

namespace {

// Creates and registers the process of a live id; the caller holds the
// discovery lock and handles failures.
void CreateProcess(const QVProcessId& processId, bool loadSectionMaps) {
  auto process = std::make_shared<QVProcessLinux>(processId, "", "");
  QVProcess::registerProcess(process);
  if (loadSectionMaps) {
    process->sectionMap();
  }
}

}  // namespace

// The pid is resolved to the id of the live process with its start time, so
// a reused pid gives a new id and a new object, while the old object stays
// registered for the samples that refer to it. A known process is returned
// as it is: its map is read on demand.
QVProcessId QVProcessLinux::updateProcessList(int pid, bool loadSectionMaps) {
  std::lock_guard<std::recursive_mutex> lock(processIdMapLock);
  const QVProcessId processId = QVProcessIdFromNativeIdentifier(pid);
  if (!processId.isValid() || QVProcess::processWithId(processId, false, false)) {
    return processId;
  }
  try {
    CreateProcess(processId, loadSectionMaps);
    return processId;
  } catch (const std::exception&) {
    QV_ERROR("failed to create process object for " << processId);
    return QVProcessId::invalid();
  }
}

// Processes that exit while the list is walked fail their construction or
// registration; each is logged and skipped, and the scan goes on so that one
// vanished process does not hide the others. Known processes only get their
// maps read when asked.
void QVProcessLinux::updateProcessList(bool loadSectionMaps) {
  std::lock_guard<std::recursive_mutex> lock(processIdMapLock);
  std::unordered_set<QVProcessId> processIds;
  QVTaskInfoLinux::getProcessIds(processIds, false);
  for (const QVProcessId& processId : processIds) {
    try {
      if (const std::shared_ptr<QVProcess>& existing = QVProcess::processWithId(processId, false, false)) {
        if (loadSectionMaps) {
          existing->sectionMap();
        }
        continue;
      }
      CreateProcess(processId, loadSectionMaps);
    } catch (const std::exception&) {
      QV_ERROR("failed to create process object for " << processId);
    }
  }
}

QVProcessLinux::ExeToPixMap QVProcessLinux::_readExeToPixMap(const std::string& root) {
  ExeToPixMap table;
  std::vector<std::string> desktopFiles;
  std::deque<std::string> queue;
  std::unordered_set<std::string> visited;
  const std::string applications = Resolve(root, "/usr/share/applications");
  if (IsDirectory(applications)) {
    queue.push_back(applications);
    visited.insert(RealPath(applications));
  }
  while (!queue.empty()) {
    const std::string directory = queue.front();
    queue.pop_front();
    for (const fs::path& entry : SortedEntries(directory)) {
      std::error_code error;
      if (IsDirectory(entry)) {
        const std::string real = RealPath(entry);
        if (!real.empty() && visited.insert(real).second) {
          queue.push_back(real);
        }
      } else if (fs::is_regular_file(entry, error) && entry.extension() == ".desktop") {
        desktopFiles.push_back(entry.string());
      }
    }
  }

  for (const std::string& file : desktopFiles) {
    std::ifstream in(file);
    std::string line;
    std::string executable;
    std::string icon;
    while (std::getline(in, line)) {
      const size_t equals = line.find('=');
      if (equals == std::string::npos) {
        continue;
      }
      const std::string key = boost::algorithm::trim_copy(line.substr(0, equals));
      const std::string value = boost::algorithm::trim_copy(line.substr(equals + 1));
      if (key == "Exec") {
        executable = value.substr(0, value.find(' '));
      } else if (key == "Icon") {
        icon = value;
      }
    }
    // The file manager's entries name folders and the like, and the control
    // centre's shell launches every panel: neither says what the process is.
    if (!executable.empty() && !icon.empty() && executable != "kcmshell" && executable != "nautilus") {
      table[executable] = icon;
    }
  }
  table["nautilus"] = "file-manager";
  return table;
}

void QVProcessLinux::_findIconSearchPaths(const std::string& root, SearchPaths& iconPaths,
                                          SearchPaths& icon16Paths) {
  std::vector<std::string> themeRoots;
  for (const auto& candidates : std::vector<std::vector<const char*>>{
           {"/usr/share/icons/gnome", "/opt/gnome/share/icons/gnome"},
           {"/usr/share/icons/default.kde4", "/usr/share/icons/default.kde", "/opt/kde3/share/icons/default.kde"}}) {
    for (const char* candidate : candidates) {
      const std::string path = Resolve(root, candidate);
      if (Exists(path)) {
        themeRoots.push_back(path);
        break;
      }
    }
  }

  // Breadth first, so that the shallowest size directories of a theme come
  // first. A directory holding icons is a leaf of the theme: its own
  // sub-directories (scalable variants and the like) are not wanted.
  std::deque<std::string> queue(themeRoots.begin(), themeRoots.end());
  std::unordered_set<std::string> visited;
  while (!queue.empty()) {
    const std::string directory = queue.front();
    queue.pop_front();
    if (visited.count(directory) != 0) {
      continue;
    }
    for (const fs::path& entry : SortedEntries(directory)) {
      if (IsDirectory(entry)) {
        const std::string real = RealPath(entry);
        if (!real.empty() && visited.count(real) == 0) {
          queue.push_back(real);
        }
        continue;
      }
      if (entry.extension() != ".png") {
        continue;
      }
      if (Contains(directory, "16x16")) {
        icon16Paths.push_back(directory + "/");
        break;
      }
      if (Contains(directory, "32x32")) {
        iconPaths.push_back(directory + "/");
        break;
      }
    }
    visited.insert(directory);
  }

  SearchPaths icon48Paths;
  const std::string icons = Resolve(root, "/usr/share/icons");
  if (Exists(icons)) {
    for (const fs::path& entry : SortedEntries(icons)) {
      std::error_code error;
      if (!IsDirectory(entry) || fs::is_symlink(entry, error)) {
        continue;
      }
      const std::string path = entry.string();
      if (Contains(path, "HighContrast") || Contains(path, "LowContrast")) {
        continue;
      }
      icon48Paths.push_back(path + "/48x48/apps/");
      // The themes walked above already gave their sizes.
      if (!Contains(path, "gnome") && !Contains(path, "default.kde")) {
        icon16Paths.push_back(path + "/16x16/apps/");
        iconPaths.push_back(path + "/32x32/apps/");
      }
    }
  }
  iconPaths.insert(iconPaths.end(), icon48Paths.begin(), icon48Paths.end());
  iconPaths.push_back(Resolve(root, "/usr/share/pixmaps/"));
}

std::shared_ptr<QVData> QVProcessLinux::_iconDataForExecutable(const std::string& executablePath, bool large,
                                                               const ExeToPixMap& exeToPix,
                                                               const SearchPaths& iconPaths,
                                                               const SearchPaths& icon16Paths,
                                                               const std::string& root) {
  auto found = exeToPix.find(executablePath);
  if (found == exeToPix.end()) {
    found = exeToPix.find(fs::path(executablePath).filename().string());
  }
  if (found == exeToPix.end()) {
    return nullptr;
  }
  const fs::path name(found->second);
  std::string file;
  if (name.has_root_directory()) {
    file = Resolve(root, name.string());
  } else {
    // Only PNG images are shown; themes of vector icons give nothing.
    const std::string extension = name.extension().string();
    if (!extension.empty() && extension != ".png") {
      return nullptr;
    }
    for (const std::string& directory : large ? iconPaths : icon16Paths) {
      const std::string candidate = directory + name.stem().string() + ".png";
      if (Exists(candidate)) {
        file = candidate;
        break;
      }
    }
  }
  return file.empty() ? nullptr : ReadWholeFile(file);
}

}  // namespace Quorvel
