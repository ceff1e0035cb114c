#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <boost/date_time/posix_time/ptime.hpp>

#include "archive/QVUnarchivable.h"
#include "archive/QVUniqueArchivable.h"
#include "data/QVPropertyMap.h"
#include "ids/QVProcessId.h"
#include "ids/QVThreadId.h"
#include "system/QVMachine.h"

namespace Quorvel {

class QVDebugger;

// One thread of a process, shared through the process-wide thread registry
// like processes are. Platform subclasses fill it from the operating system;
// session files recreate it by decoding.
//
// Archive keys, in order: "ThreadId" (object), "Name", "StartTime",
// "ExitTime", "Properties" (object), "Arch" (architecture name). Older files
// may carry "UserTime" and "SystemTime"; reading skips them.
class QVThread : public QVUniqueArchivable, public QVUnarchivable {
 public:
  static const char* const PROPERTY_THREAD_GROUP_NAME;       // "thread_group_name"
  static const char* const PROPERTY_THREAD_GROUP_ID;         // "thread_group_id"
  static const char* const PROPERTY_THREAD_EXECUTABLE_PATH;  // "thread_exe_path"
  static const char* const PROPERTY_THREAD_TYPE;             // "thread_type"
  static const char* const VAL_THREAD_KERNEL;                // "kernel"
  static const char* const VAL_THREAD_KERNEL_IDLE;           // "idle"
  static const char* const VAL_THREAD_USER;                  // "user"
  static const char* const VAL_THREAD_USER_MAIN;             // "main"

  // An invalid thread, for decoding.
  QVThread();
  explicit QVThread(const QVThreadId& threadId);
  QVThread(const QVThreadId& threadId, const boost::posix_time::ptime& startTime,
           const boost::posix_time::ptime& exitTime);
  ~QVThread() override;
  QVThread(const QVThread&) = delete;
  QVThread& operator=(const QVThread&) = delete;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  virtual const QVThreadId& threadId() const;
  virtual const std::string& name() const;
  virtual void setName(const std::string& name);
  // Not-a-date-time when unknown. Both refresh the time information first.
  virtual boost::posix_time::ptime startTime() const;
  virtual void setStartTime(const boost::posix_time::ptime& time);
  // Not-a-date-time while the thread runs.
  virtual boost::posix_time::ptime exitTime() const;
  virtual void setExitTime(const boost::posix_time::ptime& time);
  // Never once an exit time is set; otherwise only when the process's
  // debugger says so.
  virtual bool isRunning() const;
  virtual QVArchitecture architecture() const;
  virtual void setArchitecture(QVArchitecture architecture);
  // "0x", the native id in hexadecimal, " (", the native id, ")".
  virtual void getDescription(std::ostream& os) const;
  // Reads into locals first, so a malformed document leaves this object as
  // it was.
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;
  // Refreshes what the operating system knows of the thread's times; the
  // base knows nothing more. Subclasses assign startTime_ / exitTime_.
  virtual void _updateThreadTimeInfo() const;

  const QVPropertyMap& properties() const { return properties_; }
  QVPropertyMap& mutableProperties() { return properties_; }
  // The debugger of the thread's registered process, looked up once it is
  // found; empty (and a warning logged) while the process is unknown.
  std::shared_ptr<QVDebugger> debugger() const;

  // Registry; the same rules as for processes.
  static void registerThread(const std::shared_ptr<QVThread>& thread);
  static const std::shared_ptr<QVThread>& threadWithId(const QVThreadId& threadId, bool update,
                                                       bool loadSectionMaps);
  // The registered thread with this tid that started last, of the process
  // with this pid unless pid is -1.
  static std::shared_ptr<QVThread> threadWithNativeIdentifier(int pid, long tid, bool update, bool loadSectionMaps);
  // Ids of the registered threads of a process (of every process when the
  // process id is invalid).
  static void getThreadIdsForProcess(std::unordered_set<QVThreadId>& out, const QVProcessId& processId,
                                     bool runningOnly, bool update, bool loadSectionMaps);
  static void flushRegisteredThreads();
  // Hand over to the platform's process discovery (QVProcessDiscovery).
  static void updateThreadList(bool loadSectionMaps);
  static void updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps);

 protected:
  QVThreadId threadId_;
  std::string name_;
  // Mutable: refreshed lazily from const readers by subclasses.
  mutable boost::posix_time::ptime startTime_;
  mutable boost::posix_time::ptime exitTime_;
  QVPropertyMap properties_;
  QVArchitecture architecture_;

 private:
  using ThreadIdMap = std::unordered_map<QVThreadId, std::shared_ptr<QVThread>>;

  // A cache: samplers on several threads ask whether a thread runs.
  mutable std::mutex debuggerLock_;
  mutable std::shared_ptr<QVDebugger> debugger_;

  static ThreadIdMap threadIdMap;
  static std::recursive_mutex threadIdMapLock;
};

std::ostream& operator<<(std::ostream& os, const QVThread& thread);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVThread>& thread);

}  // namespace Quorvel
