#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "archive/QVUnarchivable.h"
#include "archive/QVUniqueArchivable.h"
#include "data/QVPropertyMap.h"
#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "ranges/QVRange.h"
#include "ranges/QVRangeMap.h"
#include "samples/QVSymbolSource.h"
#include "symbols/QVSection.h"
#include "system/QVMachine.h"

namespace Quorvel {

class QVData;
class QVDebugger;
class QVSymbol;
class QVThread;

// One process of one system: identity, names, times, icons, properties and
// the map of its address space to sections, through which sampled addresses
// get their meaning.
//
// Every part of the library that meets a process id gets the one shared
// object for it from the process-wide registry. Platform subclasses fill the
// objects from the operating system and supply a debugger; session files
// recreate them by decoding.
//
// Process objects are not locked: the sampler that owns one updates it, and
// readers on other threads see a settled object. The registry is locked.
//
// Archive keys, in order: "ProcessId" (object), "ParentProcessId" (object;
// optional when reading), "Name", "ExePath", "UserIdentifier" ("0x%llx"),
// "Icons" (list of "IconData" objects), "StartTime", "ExitTime",
// "SectRangeMap" (list holding "Ranges", a list of "Range" objects, then
// "Values", a list of "Value" section objects, pairwise in location order),
// "Properties" (object), "Arch" (architecture name). Older files may carry
// "Command", "UserTime" and "SystemTime"; reading skips them.
class QVProcess : public QVSymbolSource, public QVUniqueArchivable, public QVUnarchivable {
 public:
  using SectionMap = QVRangeMap<unsigned long, std::shared_ptr<QVSection>>;
  using IconList = std::vector<std::shared_ptr<QVData>>;

  static const char* const PROPERTY_PROCESS_TYPE;  // "process_type"
  static const char* const VAL_PROCESS_KERNEL;     // "kernel"
  static const char* const VAL_PROCESS_USER;       // "user"

  // An invalid process, for decoding.
  QVProcess();
  QVProcess(const QVProcessId& processId, const std::string& name, const std::string& executablePath);
  QVProcess(const QVProcessId& processId, const std::string& name, const std::string& executablePath,
            const boost::posix_time::ptime& startTime, const boost::posix_time::ptime& exitTime,
            const SectionMap& sectionMap);
  ~QVProcess() override;
  QVProcess(const QVProcess&) = delete;
  QVProcess& operator=(const QVProcess&) = delete;

  // The section map first; on a miss the debugger, whose answer is entered
  // into the map so that the next lookup of that range hits.
  const std::shared_ptr<QVSection>& sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                        QVRange<unsigned long>& range) const override;
  const std::shared_ptr<QVSymbol>& symbolForCallFrame(const QVAbstractCallFrame& frame,
                                                      QVRange<unsigned long>& range) const override;

  virtual const QVProcessId& processId() const;
  // The invalid id until known.
  virtual const QVProcessId& parentProcessId() const;
  virtual const std::string& name() const;
  virtual void setName(const std::string& name);
  virtual const std::string& executablePath() const;
  virtual void setExecutablePath(const std::string& path);
  // 0xFFFFFFFF until known.
  virtual uint32_t userIdentifier() const;
  virtual void setUserIdentifier(uint32_t userIdentifier);
  virtual const IconList& iconImageData() const;
  // Not-a-date-time when unknown. Both refresh the time information first.
  virtual boost::posix_time::ptime startTime() const;
  virtual void setStartTime(const boost::posix_time::ptime& time);
  // Not-a-date-time while the process runs.
  virtual boost::posix_time::ptime exitTime() const;
  virtual void setExitTime(const boost::posix_time::ptime& time);
  // Never once an exit time is set; otherwise only when a debugger says so.
  virtual bool isRunning() const;
  // The registered threads of this process, optionally only running ones,
  // optionally after asking the platform for new threads.
  virtual void getThreads(std::vector<std::shared_ptr<QVThread>>& out, bool runningOnly, bool update) const;
  // Replaces the map with a copy of `map`.
  virtual void setSectionMap(const SectionMap& map);
  virtual void setSectionAtAddressRange(const std::shared_ptr<QVSection>& section,
                                        const QVRange<unsigned long>& range);
  // The debugger set for this process; subclasses may create one on demand.
  virtual std::shared_ptr<QVDebugger> debugger() const;
  virtual void setDebugger(const std::shared_ptr<QVDebugger>& debugger);
  virtual QVArchitecture architecture() const;
  virtual void setArchitecture(QVArchitecture architecture);
  // The name, " [", the native process id, "]".
  virtual void getDescription(std::ostream& os) const;
  void encodeWithArchiver(QVArchiver* archiver) const override;
  // Reads into locals first, so a malformed document leaves this object as
  // it was.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // Refreshes what the operating system knows of the process's times; the
  // base knows nothing more. Subclasses assign startTime_ / exitTime_.
  virtual void _updateProcessTimeInfo() const;
  // Folds another description of the same process into this one: missing
  // parent and times are taken over, icons are added, and the other's
  // section map is written over this one. Throws QVException on different
  // process ids or conflicting parents.
  virtual void _merge(const std::shared_ptr<QVProcess>& other);
  // Fills the section map from the debugger, when there is one.
  virtual void _loadSectionMap() const;

  const QVPropertyMap& properties() const { return properties_; }
  QVPropertyMap& mutableProperties() { return properties_; }
  // Both load the map from the debugger while it is empty.
  const SectionMap& sectionMap() const;
  SectionMap& mutableSectionMap();

  // Registry. Registering the same object again changes nothing; a
  // different object under a taken id, or an invalid id, throws.
  static void registerProcess(const std::shared_ptr<QVProcess>& process);
  // The registered process, or a reference to an empty pointer. With
  // `update`, an unknown id of this machine is looked for among the live
  // processes.
  static const std::shared_ptr<QVProcess>& processWithId(const QVProcessId& processId, bool update,
                                                         bool loadSectionMaps);
  // Without `update`, the registered process with this pid that started
  // last (pids are reused).
  static std::shared_ptr<QVProcess> processWithNativeIdentifier(int pid, bool update, bool loadSectionMaps);
  // Ids of the registered processes of a system (every system when the
  // system id is invalid).
  static void getProcessIdsForSystem(const QVSystemId& systemId, std::unordered_set<QVProcessId>& out,
                                     bool runningOnly, bool update, bool loadSectionMaps);
  // A number is a pid; otherwise the running processes of this machine
  // whose name, or failing that executable file name, is `name`.
  static void getProcessesWithName(const std::string& name, std::vector<std::shared_ptr<QVProcess>>& out,
                                   bool update, bool loadSectionMaps);
  // The kernel of this machine from the platform layer; for another system
  // the registered process with pid 0 that started at this machine's boot.
  static std::shared_ptr<QVProcess> kernelProcessForSystem(const QVSystemId& systemId, bool loadNow);
  static void flushRegisteredProcesses();
  // Hand over to the platform's process discovery (QVProcessDiscovery).
  static void updateProcessList(bool loadSectionMaps);
  static QVProcessId updateProcessList(int pid, bool loadSectionMaps);

 protected:
  QVProcessId processId_;
  QVProcessId parentProcessId_;
  std::string name_;
  std::string executablePath_;
  uint32_t userIdentifier_;
  IconList icons_;
  // Mutable: refreshed lazily from const readers by subclasses.
  mutable boost::posix_time::ptime startTime_;
  mutable boost::posix_time::ptime exitTime_;
  // Mutable: a cache of the debugger's map, filled by const lookups.
  mutable SectionMap sectionMap_;
  QVPropertyMap properties_;
  QVArchitecture architecture_;
  // Mutable so that a subclass can create its debugger on first demand.
  mutable std::shared_ptr<QVDebugger> debugger_;

 private:
  using ProcessIdMap = std::unordered_map<QVProcessId, std::shared_ptr<QVProcess>>;

  static ProcessIdMap processIdMap;
  static std::recursive_mutex processIdMapLock;
};

std::ostream& operator<<(std::ostream& os, const QVProcess& process);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVProcess>& process);

}  // namespace Quorvel
