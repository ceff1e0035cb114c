#include "model/QVProcess.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ostream>
#include <sstream>
#include <utility>

#include <boost/filesystem/path.hpp>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "data/QVData.h"
#include "model/QVDebugger.h"
#include "model/QVProcessDiscovery.h"
#include "model/QVRegistryOps.h"
#include "model/QVThread.h"
#include "samples/QVAbstractCallFrame.h"
#include "symbols/QVSection.h"
#include "symbols/QVSymbol.h"

namespace Quorvel {

const char* const QVProcess::PROPERTY_PROCESS_TYPE = "process_type";
const char* const QVProcess::VAL_PROCESS_KERNEL = "kernel";
const char* const QVProcess::VAL_PROCESS_USER = "user";

QVProcess::ProcessIdMap QVProcess::processIdMap;
std::recursive_mutex QVProcess::processIdMapLock;

namespace {

const uint32_t kUnknownUser = 0xFFFFFFFFu;

const std::shared_ptr<QVProcess>& EmptyProcess() {
  static const std::shared_ptr<QVProcess> empty;
  return empty;
}

const std::shared_ptr<QVSection>& EmptySection() {
  static const std::shared_ptr<QVSection> empty;
  return empty;
}

const std::shared_ptr<QVSymbol>& EmptySymbol() {
  static const std::shared_ptr<QVSymbol> empty;
  return empty;
}

// Keys that older writers put into process archives and that carry nothing
// this model keeps. They may turn up anywhere among the process's keys.
void SkipObsoleteKeys(QVUnarchiver* unarchiver) {
  std::string key;
  while (unarchiver->nextKey(key) && (key == "Command" || key == "UserTime" || key == "SystemTime")) {
    unarchiver->skipValueForKey(key);
  }
}

// The whole text as a decimal integer (an optional sign, then digits only).
bool ParseInteger(const std::string& text, long& value) {
  if (text.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return false;
  }
  value = parsed;
  return true;
}

// Whether a start time is strictly later than another; an unknown time is
// earlier than every known one, so a process of known age wins a pid.
}  // namespace

QVProcess::QVProcess()
    : userIdentifier_(kUnknownUser), architecture_(LocalMachineArchitecture()) {}

QVProcess::QVProcess(const QVProcessId& processId, const std::string& name, const std::string& executablePath)
    : processId_(processId),
      name_(name),
      executablePath_(executablePath),
      userIdentifier_(kUnknownUser),
      architecture_(LocalMachineArchitecture()) {}

QVProcess::QVProcess(const QVProcessId& processId, const std::string& name, const std::string& executablePath,
                     const boost::posix_time::ptime& startTime, const boost::posix_time::ptime& exitTime,
                     const SectionMap& sectionMap)
    : processId_(processId),
      name_(name),
      executablePath_(executablePath),
      userIdentifier_(kUnknownUser),
      startTime_(startTime),
      exitTime_(exitTime),
      sectionMap_(sectionMap),
      architecture_(LocalMachineArchitecture()) {}

QVProcess::~QVProcess() = default;

const std::shared_ptr<QVSection>& QVProcess::sectionForCallFrame(const QVAbstractCallFrame& frame,
                                                                 QVRange<unsigned long>& range) const {
  const unsigned long address = frame.lookupAddress();
  // The map as it stands: loading it here would read the whole memory map
  // for what the debugger can answer for one address.
  const std::shared_ptr<QVSection>& mapped = sectionMap_.valueAndRangeForLocation(address, range, true);
  if (mapped) {
    return mapped;
  }
  if (const std::shared_ptr<QVDebugger> debugger = this->debugger()) {
    QVRange<unsigned long> answerRange;
    const std::shared_ptr<QVSection> answer = debugger->sectionForCallFrame(frame, answerRange);
    if (answer) {
      sectionMap_.setValueForRange(answer, answerRange);
      // Handed out from the map, which keeps it alive for the caller.
      const std::shared_ptr<QVSection>& stored = sectionMap_.valueAndRangeForLocation(answerRange.location, range, true);
      if (stored == answer) {
        return stored;
      }
    }
  }
  range = QVRange<unsigned long>::EMPTY_RANGE;
  return EmptySection();
}

const std::shared_ptr<QVSymbol>& QVProcess::symbolForCallFrame(const QVAbstractCallFrame& frame,
                                                               QVRange<unsigned long>& range) const {
  QVRange<unsigned long> sectionRange;
  const std::shared_ptr<QVSection>& section = sectionForCallFrame(frame, sectionRange);
  if (section) {
    // Sections are addressed by 32-bit signed offsets.
    const int32_t offset = static_cast<int32_t>(static_cast<uint32_t>(frame.lookupAddress() - sectionRange.location));
    if (offset < static_cast<int32_t>(sectionRange.length)) {
      QVRange<int> symbolRange;
      const std::shared_ptr<QVSymbol>& symbol = section->symbolAtSectionOffset(offset, symbolRange, true);
      if (symbol) {
        range = QVRange<unsigned long>(
            sectionRange.location + static_cast<unsigned long>(static_cast<long>(symbolRange.location)),
            static_cast<unsigned long>(static_cast<long>(symbolRange.length)));
        return symbol;
      }
    }
  }
  range = QVRange<unsigned long>::EMPTY_RANGE;
  return EmptySymbol();
}

const QVProcessId& QVProcess::processId() const { return processId_; }

const QVProcessId& QVProcess::parentProcessId() const { return parentProcessId_; }

const std::string& QVProcess::name() const { return name_; }

void QVProcess::setName(const std::string& name) { name_ = name; }

const std::string& QVProcess::executablePath() const { return executablePath_; }

void QVProcess::setExecutablePath(const std::string& path) { executablePath_ = path; }

uint32_t QVProcess::userIdentifier() const { return userIdentifier_; }

void QVProcess::setUserIdentifier(uint32_t userIdentifier) { userIdentifier_ = userIdentifier; }

const QVProcess::IconList& QVProcess::iconImageData() const { return icons_; }

boost::posix_time::ptime QVProcess::startTime() const {
  _updateProcessTimeInfo();
  return startTime_;
}

void QVProcess::setStartTime(const boost::posix_time::ptime& time) { startTime_ = time; }

boost::posix_time::ptime QVProcess::exitTime() const {
  _updateProcessTimeInfo();
  return exitTime_;
}

void QVProcess::setExitTime(const boost::posix_time::ptime& time) { exitTime_ = time; }

bool QVProcess::isRunning() const {
  if (!exitTime().is_not_a_date_time()) {
    return false;
  }
  const std::shared_ptr<QVDebugger> debugger = this->debugger();
  return debugger && debugger->isProcessRunning();
}

void QVProcess::getThreads(std::vector<std::shared_ptr<QVThread>>& out, bool runningOnly, bool update) const {
  std::unordered_set<QVThreadId> threadIds;
  QVThread::getThreadIdsForProcess(threadIds, processId_, runningOnly, update, false);
  out.clear();
  for (const QVThreadId& threadId : threadIds) {
    const std::shared_ptr<QVThread>& thread = QVThread::threadWithId(threadId, false, false);
    if (thread) {
      out.push_back(thread);
    }
  }
}

void QVProcess::setSectionMap(const SectionMap& map) {
  // Copy assignment clears and inserts in location order, and leaves the
  // map alone when given itself.
  sectionMap_ = map;
}

void QVProcess::setSectionAtAddressRange(const std::shared_ptr<QVSection>& section,
                                         const QVRange<unsigned long>& range) {
  sectionMap_.setValueForRange(section, range);
}

std::shared_ptr<QVDebugger> QVProcess::debugger() const { return debugger_; }

void QVProcess::setDebugger(const std::shared_ptr<QVDebugger>& debugger) { debugger_ = debugger; }

QVArchitecture QVProcess::architecture() const { return architecture_; }

void QVProcess::setArchitecture(QVArchitecture architecture) { architecture_ = architecture; }

void QVProcess::getDescription(std::ostream& os) const {
  os << name_ << " [" << processId_.nativeIdentifier() << "]";
}

void QVProcess::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(processId_, "ProcessId");
  archiver->encodeObject(parentProcessId_, "ParentProcessId");
  archiver->encodeString(name_, "Name");
  archiver->encodeString(executablePath_, "ExePath");
  archiver->encodeUnsigned(userIdentifier_, "UserIdentifier");
  archiver->beginList("Icons");
  for (const std::shared_ptr<QVData>& icon : icons_) {
    if (icon) {
      archiver->encodeObject(*icon, "IconData");
    }
  }
  archiver->endList("Icons");
  _updateProcessTimeInfo();
  archiver->encodeTime(startTime_, "StartTime");
  archiver->encodeTime(exitTime_, "ExitTime");

  std::vector<QVRange<unsigned long>> ranges;
  std::vector<std::shared_ptr<QVSection>> sections;
  sectionMap_.SWIG_getRanges(ranges);
  sectionMap_.SWIG_getValues(sections);
  archiver->beginList("SectRangeMap");
  // A range without a section has nothing to be written as its value; it is
  // left out with its range so that the two lists stay paired.
  archiver->beginList("Ranges");
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (sections[i]) {
      archiver->encodeObject(ranges[i], "Range");
    }
  }
  archiver->endList("Ranges");
  archiver->beginList("Values");
  for (const std::shared_ptr<QVSection>& section : sections) {
    if (section) {
      archiver->encodeObject(*section, "Value");
    }
  }
  archiver->endList("Values");
  archiver->endList("SectRangeMap");

  archiver->encodeObject(properties_, "Properties");
  archiver->encodeString(ArchitectureToString(architecture_), "Arch");
}

void QVProcess::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  SkipObsoleteKeys(unarchiver);
  std::shared_ptr<QVProcessId> processId;
  unarchiver->decodeObjectForKey("ProcessId", processId);
  SkipObsoleteKeys(unarchiver);
  std::shared_ptr<QVProcessId> parentProcessId;
  if (unarchiver->hasValueForKey("ParentProcessId")) {
    unarchiver->decodeObjectForKey("ParentProcessId", parentProcessId);
  }
  SkipObsoleteKeys(unarchiver);
  std::string name;
  unarchiver->decodeString("Name", name);
  SkipObsoleteKeys(unarchiver);
  std::string executablePath;
  unarchiver->decodeString("ExePath", executablePath);
  SkipObsoleteKeys(unarchiver);
  const uint32_t userIdentifier = static_cast<uint32_t>(unarchiver->decodeUnsigned("UserIdentifier"));
  SkipObsoleteKeys(unarchiver);

  IconList icons;
  std::string key;
  unarchiver->enterElement("Icons");
  while (unarchiver->nextKey(key) && key == "IconData") {
    std::shared_ptr<QVData> icon;
    unarchiver->decodeObjectForKey("IconData", icon);
    icons.push_back(icon);
  }
  unarchiver->leaveElement("Icons");
  SkipObsoleteKeys(unarchiver);

  boost::posix_time::ptime startTime;
  boost::posix_time::ptime exitTime;
  unarchiver->decodeTime("StartTime", startTime);
  SkipObsoleteKeys(unarchiver);
  unarchiver->decodeTime("ExitTime", exitTime);
  SkipObsoleteKeys(unarchiver);

  std::vector<QVRange<unsigned long>> ranges;
  std::vector<std::shared_ptr<QVSection>> sections;
  unarchiver->enterElement("SectRangeMap");
  unarchiver->enterElement("Ranges");
  while (unarchiver->nextKey(key) && key == "Range") {
    QVRange<unsigned long> range;
    unarchiver->decodeObject("Range", range);
    ranges.push_back(range);
  }
  unarchiver->leaveElement("Ranges");
  unarchiver->enterElement("Values");
  while (unarchiver->nextKey(key) && key == "Value") {
    std::shared_ptr<QVSection> section;
    unarchiver->decodeObjectForKey("Value", section);
    sections.push_back(section);
  }
  unarchiver->leaveElement("Values");
  unarchiver->leaveElement("SectRangeMap");
  SectionMap sectionMap;
  // Raises on unequal counts before anything of this object changes.
  sectionMap.setRangesAndValues(ranges, sections, true, false);
  SkipObsoleteKeys(unarchiver);

  QVPropertyMap properties;
  unarchiver->decodeObject("Properties", properties);
  SkipObsoleteKeys(unarchiver);
  std::string architecture;
  unarchiver->decodeString("Arch", architecture);
  SkipObsoleteKeys(unarchiver);

  processId_ = *processId;
  parentProcessId_ = parentProcessId ? *parentProcessId : QVProcessId::invalid();
  name_ = name;
  executablePath_ = executablePath;
  userIdentifier_ = userIdentifier;
  icons_ = std::move(icons);
  startTime_ = startTime;
  exitTime_ = exitTime;
  sectionMap_ = sectionMap;
  properties_ = properties;
  architecture_ = ArchitectureFromString(architecture);
}

void QVProcess::_updateProcessTimeInfo() const {}

void QVProcess::_merge(const std::shared_ptr<QVProcess>& other) {
  if (!other || other.get() == this) {
    return;
  }
  if (other->processId_ != processId_) {
    throw QVException("inconsistent process ids", 133, "QVProcess");
  }
  if (!parentProcessId_.isValid()) {
    parentProcessId_ = other->parentProcessId_;
  } else if (other->parentProcessId_.isValid() && other->parentProcessId_ != parentProcessId_) {
    throw QVException("inconsistent parent process ids", 142, "QVProcess");
  }
  for (const std::shared_ptr<QVData>& icon : other->icons_) {
    bool present = false;
    for (const std::shared_ptr<QVData>& own : icons_) {
      present = present || own == icon;
    }
    if (!present) {
      icons_.push_back(icon);
    }
  }
  if (startTime_.is_not_a_date_time()) {
    startTime_ = other->startTime_;
  }
  if (exitTime_.is_not_a_date_time()) {
    exitTime_ = other->exitTime_;
  }
  sectionMap_ += other->sectionMap_;
}

void QVProcess::_loadSectionMap() const {
  const std::shared_ptr<QVDebugger> debugger = debugger_ ? debugger_ : this->debugger();
  if (!debugger) {
    return;
  }
  const SectionMap& map = debugger->sectionMap(false);
  if (&map != &sectionMap_) {
    sectionMap_ = map;
  }
}

const QVProcess::SectionMap& QVProcess::sectionMap() const {
  if (sectionMap_.isEmpty()) {
    _loadSectionMap();
  }
  return sectionMap_;
}

QVProcess::SectionMap& QVProcess::mutableSectionMap() {
  if (sectionMap_.isEmpty()) {
    _loadSectionMap();
  }
  return sectionMap_;
}

void QVProcess::registerProcess(const std::shared_ptr<QVProcess>& process) {
  static const QVRegistryOps::Messages kMessages{"invalid process id", 112, "duplicate process id: ", 117,
                                                 "QVProcess"};
  QVRegistryOps::Register(processIdMap, processIdMapLock, process,
                          process ? process->processId() : QVProcessId::invalid(), kMessages);
}

const std::shared_ptr<QVProcess>& QVProcess::processWithId(const QVProcessId& processId, bool update,
                                                           bool loadSectionMaps) {
  if (const std::shared_ptr<QVProcess>* found = QVRegistryOps::Find(processIdMap, processIdMapLock, processId)) {
    return *found;
  }
  if (!update || !processId.isValid() || processId.asSystemId() != QVSystemId::currentSystemId()) {
    return EmptyProcess();
  }
  // Discovery runs without the registry lock: it takes its own lock before
  // registering, and holding ours across it would invert that order against
  // a discovery already running on another thread.
  const QVProcessId updated = updateProcessList(static_cast<int>(processId.nativeIdentifier()), loadSectionMaps);
  const std::shared_ptr<QVProcess>* found = QVRegistryOps::Find(processIdMap, processIdMapLock, updated);
  return found ? *found : EmptyProcess();
}

std::shared_ptr<QVProcess> QVProcess::processWithNativeIdentifier(int pid, bool update, bool loadSectionMaps) {
  if (update) {
    // Outside the registry lock for the reason given in processWithId.
    const QVProcessId updated = updateProcessList(pid, loadSectionMaps);
    const std::shared_ptr<QVProcess>* found = QVRegistryOps::Find(processIdMap, processIdMapLock, updated);
    return found ? *found : nullptr;
  }
  return QVRegistryOps::LatestStarted(processIdMap, processIdMapLock,
                                      [pid](const QVProcessId& id) { return id.nativeIdentifier() == pid; });
}

void QVProcess::getProcessIdsForSystem(const QVSystemId& systemId, std::unordered_set<QVProcessId>& out,
                                       bool runningOnly, bool update, bool loadSectionMaps) {
  if (update && systemId == QVSystemId::currentSystemId()) {
    updateProcessList(loadSectionMaps);
  }
  QVRegistryOps::CollectIds(
      processIdMap, processIdMapLock,
      [&systemId](const QVProcessId& id) { return !systemId.isValid() || id.asSystemId() == systemId; },
      runningOnly, out);
}

void QVProcess::getProcessesWithName(const std::string& name, std::vector<std::shared_ptr<QVProcess>>& out,
                                     bool update, bool loadSectionMaps) {
  long pid = 0;
  if (ParseInteger(name, pid)) {
    const std::shared_ptr<QVProcess> process = processWithNativeIdentifier(static_cast<int>(pid), update,
                                                                           loadSectionMaps);
    if (process) {
      out.push_back(process);
    }
    return;
  }
  std::unordered_set<QVProcessId> processIds;
  getProcessIdsForSystem(QVSystemId::currentSystemId(), processIds, true, update, loadSectionMaps);
  // Sorted so that callers listing the matches see the same order each time.
  std::vector<QVProcessId> sorted(processIds.begin(), processIds.end());
  std::sort(sorted.begin(), sorted.end());
  for (const QVProcessId& processId : sorted) {
    const std::shared_ptr<QVProcess>& process = processWithId(processId, false, false);
    if (!process) {
      continue;
    }
    if (process->name() == name ||
        boost::filesystem::path(process->executablePath()).filename().string() == name) {
      out.push_back(process);
    }
  }
}

std::shared_ptr<QVProcess> QVProcess::kernelProcessForSystem(const QVSystemId& systemId, bool loadNow) {
  if (systemId == QVSystemId::currentSystemId()) {
    return QVProcessDiscovery::installed()->currentKernelProcess(loadNow);
  }
  return processWithId(QVProcessId::uniqueProcessId(systemId, 0, LocalMachineBootTime()), false, false);
}

void QVProcess::flushRegisteredProcesses() { QVRegistryOps::Flush(processIdMap, processIdMapLock); }

void QVProcess::updateProcessList(bool loadSectionMaps) {
  QVProcessDiscovery::installed()->updateProcessList(loadSectionMaps);
}

QVProcessId QVProcess::updateProcessList(int pid, bool loadSectionMaps) {
  return QVProcessDiscovery::installed()->updateProcessList(pid, loadSectionMaps);
}

std::ostream& operator<<(std::ostream& os, const QVProcess& process) {
  process.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVProcess>& process) {
  if (process) {
    process->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
