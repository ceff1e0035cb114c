#include "model/QVThread.h"

#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "model/QVDebugger.h"
#include "model/QVProcess.h"
#include "model/QVProcessDiscovery.h"
#include "model/QVRegistryOps.h"

namespace Quorvel {

const char* const QVThread::PROPERTY_THREAD_GROUP_NAME = "thread_group_name";
const char* const QVThread::PROPERTY_THREAD_GROUP_ID = "thread_group_id";
const char* const QVThread::PROPERTY_THREAD_EXECUTABLE_PATH = "thread_exe_path";
const char* const QVThread::PROPERTY_THREAD_TYPE = "thread_type";
const char* const QVThread::VAL_THREAD_KERNEL = "kernel";
const char* const QVThread::VAL_THREAD_KERNEL_IDLE = "idle";
const char* const QVThread::VAL_THREAD_USER = "user";
const char* const QVThread::VAL_THREAD_USER_MAIN = "main";

QVThread::ThreadIdMap QVThread::threadIdMap;
std::recursive_mutex QVThread::threadIdMapLock;

namespace {

const std::shared_ptr<QVThread>& EmptyThread() {
  static const std::shared_ptr<QVThread> empty;
  return empty;
}

// Keys older writers put into thread archives; they may turn up anywhere.
void SkipObsoleteKeys(QVUnarchiver* unarchiver) {
  std::string key;
  while (unarchiver->nextKey(key) && (key == "UserTime" || key == "SystemTime")) {
    unarchiver->skipValueForKey(key);
  }
}

// Strictly later; an unknown time is earlier than every known one.
}  // namespace

QVThread::QVThread() : architecture_(LocalMachineArchitecture()) {}

QVThread::QVThread(const QVThreadId& threadId) : threadId_(threadId), architecture_(LocalMachineArchitecture()) {}

QVThread::QVThread(const QVThreadId& threadId, const boost::posix_time::ptime& startTime,
                   const boost::posix_time::ptime& exitTime)
    : threadId_(threadId), startTime_(startTime), exitTime_(exitTime), architecture_(LocalMachineArchitecture()) {}

QVThread::~QVThread() = default;

void QVThread::encodeWithArchiver(QVArchiver* archiver) const {
  archiver->encodeObject(threadId_, "ThreadId");
  archiver->encodeString(name_, "Name");
  _updateThreadTimeInfo();
  archiver->encodeTime(startTime_, "StartTime");
  archiver->encodeTime(exitTime_, "ExitTime");
  archiver->encodeObject(properties_, "Properties");
  archiver->encodeString(ArchitectureToString(architecture_), "Arch");
}

const QVThreadId& QVThread::threadId() const { return threadId_; }

const std::string& QVThread::name() const { return name_; }

void QVThread::setName(const std::string& name) { name_ = name; }

boost::posix_time::ptime QVThread::startTime() const {
  _updateThreadTimeInfo();
  return startTime_;
}

void QVThread::setStartTime(const boost::posix_time::ptime& time) { startTime_ = time; }

boost::posix_time::ptime QVThread::exitTime() const {
  _updateThreadTimeInfo();
  return exitTime_;
}

void QVThread::setExitTime(const boost::posix_time::ptime& time) { exitTime_ = time; }

bool QVThread::isRunning() const {
  if (!exitTime().is_not_a_date_time()) {
    return false;
  }
  const std::shared_ptr<QVDebugger> debugger = this->debugger();
  return debugger && debugger->isThreadRunning(threadId_);
}

QVArchitecture QVThread::architecture() const { return architecture_; }

void QVThread::setArchitecture(QVArchitecture architecture) { architecture_ = architecture; }

void QVThread::getDescription(std::ostream& os) const {
  const std::ios_base::fmtflags flags = os.flags();
  const int64_t tid = threadId_.nativeIdentifier();
  os << "0x" << std::hex << tid << std::dec << " (" << tid << ")";
  os.flags(flags);
}

void QVThread::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  SkipObsoleteKeys(unarchiver);
  std::shared_ptr<QVThreadId> threadId;
  unarchiver->decodeObjectForKey("ThreadId", threadId);
  SkipObsoleteKeys(unarchiver);
  std::string name;
  unarchiver->decodeString("Name", name);
  SkipObsoleteKeys(unarchiver);
  boost::posix_time::ptime startTime;
  boost::posix_time::ptime exitTime;
  unarchiver->decodeTime("StartTime", startTime);
  SkipObsoleteKeys(unarchiver);
  unarchiver->decodeTime("ExitTime", exitTime);
  SkipObsoleteKeys(unarchiver);
  QVPropertyMap properties;
  unarchiver->decodeObject("Properties", properties);
  SkipObsoleteKeys(unarchiver);
  std::string architecture;
  unarchiver->decodeString("Arch", architecture);
  SkipObsoleteKeys(unarchiver);

  threadId_ = *threadId;
  name_ = name;
  startTime_ = startTime;
  exitTime_ = exitTime;
  properties_ = properties;
  architecture_ = ArchitectureFromString(architecture);
  std::lock_guard<std::mutex> lock(debuggerLock_);
  debugger_.reset();
}

void QVThread::_updateThreadTimeInfo() const {}

std::shared_ptr<QVDebugger> QVThread::debugger() const {
  {
    std::lock_guard<std::mutex> lock(debuggerLock_);
    if (debugger_) {
      return debugger_;
    }
  }
  const std::shared_ptr<QVProcess>& process = QVProcess::processWithId(threadId_.asProcessId(), false, false);
  if (!process) {
    if (LogIsEnabled(QVLogLevel::Warning)) {
      std::ostringstream message;
      message << "unable to find process for thread " << threadId_;
      detail::LogMessage(QVLogLevel::Warning, message.str(), "QVThread", 151);
    }
    return nullptr;
  }
  std::shared_ptr<QVDebugger> debugger = process->debugger();
  // Only an answer is cached: a process that gets its debugger later is
  // asked again.
  std::lock_guard<std::mutex> lock(debuggerLock_);
  if (!debugger_) {
    debugger_ = debugger;
  }
  return debugger_;
}

void QVThread::registerThread(const std::shared_ptr<QVThread>& thread) {
  static const QVRegistryOps::Messages kMessages{"invalid thread id", 80, "duplicate thread id: ", 84, "QVThread"};
  QVRegistryOps::Register(threadIdMap, threadIdMapLock, thread, thread ? thread->threadId() : QVThreadId::invalid(),
                          kMessages);
}

const std::shared_ptr<QVThread>& QVThread::threadWithId(const QVThreadId& threadId, bool update,
                                                        bool loadSectionMaps) {
  if (const std::shared_ptr<QVThread>* found = QVRegistryOps::Find(threadIdMap, threadIdMapLock, threadId)) {
    return *found;
  }
  if (!update || !threadId.isValid() || threadId.asSystemId() != QVSystemId::currentSystemId()) {
    return EmptyThread();
  }
  // Discovery takes the process lock and then this registry's lock; asking
  // it while holding ours would invert that order.
  updateThreadListForProcess(threadId.asProcessId(), loadSectionMaps);
  const std::shared_ptr<QVThread>* found = QVRegistryOps::Find(threadIdMap, threadIdMapLock, threadId);
  return found ? *found : EmptyThread();
}

std::shared_ptr<QVThread> QVThread::threadWithNativeIdentifier(int pid, long tid, bool update,
                                                               bool loadSectionMaps) {
  if (update) {
    updateThreadList(loadSectionMaps);
  }
  return QVRegistryOps::LatestStarted(threadIdMap, threadIdMapLock, [pid, tid](const QVThreadId& id) {
    return id.nativeIdentifier() == tid && (pid == -1 || id.asProcessId().nativeIdentifier() == pid);
  });
}

void QVThread::getThreadIdsForProcess(std::unordered_set<QVThreadId>& out, const QVProcessId& processId,
                                      bool runningOnly, bool update, bool loadSectionMaps) {
  if (update && processId.isValid() && processId.asSystemId() == QVSystemId::currentSystemId()) {
    updateThreadListForProcess(processId, loadSectionMaps);
  }
  QVRegistryOps::CollectIds(
      threadIdMap, threadIdMapLock,
      [&processId](const QVThreadId& id) { return !processId.isValid() || id.asProcessId() == processId; },
      runningOnly, out);
}

void QVThread::flushRegisteredThreads() { QVRegistryOps::Flush(threadIdMap, threadIdMapLock); }

void QVThread::updateThreadList(bool loadSectionMaps) {
  QVProcessDiscovery::installed()->updateThreadList(loadSectionMaps);
}

void QVThread::updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps) {
  QVProcessDiscovery::installed()->updateThreadListForProcess(processId, loadSectionMaps);
}

std::ostream& operator<<(std::ostream& os, const QVThread& thread) {
  thread.getDescription(os);
  return os;
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVThread>& thread) {
  if (thread) {
    thread->getDescription(os);
  }
  return os;
}

}  // namespace Quorvel
