#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/QVProcess.h"
#include "proc/QVTaskInfoLinux.h"
#include "symbols/QVModuleId.h"

namespace Quorvel {

class QVData;

// A user process of this machine, filled once from /proc at construction
// (parent, names, user, start time, architecture) with an icon taken from
// the desktop's application entries and icon themes. Only the exit time is
// refreshed later, on demand. Its debugger (a QVDebuggerLinux, created on
// first use) supplies the memory map.
//
// Loading the library installs the Linux discovery, so QVProcess and
// QVThread registry updates reach updateProcessList / QVThreadLinux.
class QVProcessLinux : public QVProcess {
 public:
  using ModuleAddrMap = std::unordered_map<QVModuleId, uint64_t>;
  // Executable (path or file name) to icon name.
  using ExeToPixMap = std::map<std::string, std::string>;
  // Directories, each ending in "/".
  using SearchPaths = std::vector<std::string>;

  QVProcessLinux(const QVProcessId& processId, const std::string& name, const std::string& executablePath);
  QVProcessLinux(const QVProcessId& processId, const std::string& name, const std::string& executablePath,
                 const boost::posix_time::ptime& startTime, const boost::posix_time::ptime& exitTime,
                 const SectionMap& sectionMap);
  ~QVProcessLinux() override;

  // Creates a QVDebuggerLinux (not attached) when none is set.
  std::shared_ptr<QVDebugger> debugger() const override;
  // Fixes the exit time at the first call that finds the task gone, to the
  // second; a set exit time never changes.
  void _updateProcessTimeInfo() const override;

  const QVTaskInfoLinux& taskInfo() const { return taskInfo_; }
  const ModuleAddrMap& moduleAddrMap() const { return moduleAddrMap_; }
  ModuleAddrMap& mutableModuleAddrMap() { return moduleAddrMap_; }
  void setModuleAddrMap(const ModuleAddrMap& map) { moduleAddrMap_ = map; }
  // Where the module is loaded, cached once the debugger knows; 0 when it
  // is not mapped.
  unsigned long moduleStartAddress(const QVModuleId& moduleId);
  void setModuleStartAddress(const QVModuleId& moduleId, unsigned long address);

  // Under the discovery lock: register every live process not yet known
  // (and, when asked, read the section maps of all).
  static void updateProcessList(bool loadSectionMaps);
  // The id of the live process pid, registered if new; the invalid id when
  // pid has no process or its object could not be made.
  static QVProcessId updateProcessList(int pid, bool loadSectionMaps);

  // Builds the icon tables, once per library.
  static void _init();
  static void _initExeToPixMap();
  static void _initIconSearchPaths();
  // The icon of this process's executable; `large` picks the 32x32 and
  // larger themes, otherwise the 16x16 ones. Empty when there is none.
  std::shared_ptr<QVData> _getIconData(bool large) const;

  // The tables as built by _init().
  static const ExeToPixMap& exeToPixMap();
  static const SearchPaths& iconSearchPaths();
  static const SearchPaths& icon16SearchPaths();

  // The table builders behind _init(), over a tree rooted at `root` (empty:
  // the real file system), so that desktop trees can be examined in
  // isolation. Search paths include the root.
  static ExeToPixMap _readExeToPixMap(const std::string& root);
  static void _findIconSearchPaths(const std::string& root, SearchPaths& iconPaths, SearchPaths& icon16Paths);
  // An absolute icon name is taken under `root`.
  static std::shared_ptr<QVData> _iconDataForExecutable(const std::string& executablePath, bool large,
                                                        const ExeToPixMap& exeToPix,
                                                        const SearchPaths& iconPaths,
                                                        const SearchPaths& icon16Paths, const std::string& root);

  // Guards process discovery; taken before QVThreadLinux::threadIdMapLock.
  static std::recursive_mutex processIdMapLock;

 private:
  void _fill();

  QVTaskInfoLinux taskInfo_;
  ModuleAddrMap moduleAddrMap_;
  // debugger() creates the debugger from const callers on several threads.
  mutable std::mutex debuggerLock_;
};

}  // namespace Quorvel
