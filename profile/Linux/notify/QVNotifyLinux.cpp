#include "Linux/notify/QVNotifyLinux.h"

#include <unistd.h>

#include <chrono>

#include "Linux/driver/QVDriverBuffer.h"
#include "Linux/driver/QVDriverBufferCursor.h"
#include "Linux/driver/QVDriverFilesystem.h"
#include "Linux/notify/QVNotifyDriverLinux.h"
#include "Linux/notify/QVTaskExitStream.h"
#include "Linux/process/QVProcessLinux.h"
#include "Linux/process/QVThreadLinux.h"
#include "Linux/unwind/QVDebuggerLinux.h"
#include "base/QVException.h"
#include "base/QVLog.h"
#include "ids/QVSystemId.h"
#include "notify/QVNotificationIds.h"
#include "proc/QVTaskInfoLinux.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/elf/QVModuleElf.h"
#include "system/QVEffectiveUser.h"
#include "system/QVMachine.h"
#include "time/QVTime.h"

namespace Quorvel {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000;
constexpr uint64_t kExecutableFlag = 0x4;  // VM_EXEC of the memory area
// A device that has nothing yet answers at once; do not spin on it.
constexpr auto kIdleRead = std::chrono::milliseconds(10);

// The default notifier is made by the platform that has one.
const bool kFactoryInstalled = [] {
  QVNotify::setDefaultNotifyFactory([] { return std::make_shared<QVNotifyLinux>(); });
  return true;
}();

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Start times from the stream are nanoseconds; ids made from /proc count in
// clock ticks. Rounding down to a tick gives an exited process the same id
// that discovery gave it while it ran.
uint64_t StartTimeOf(uint64_t seconds, uint64_t nanoseconds) {
  const long clock = sysconf(_SC_CLK_TCK);
  const uint64_t hz = clock > 0 ? uint64_t(clock) : 100;
  const uint64_t ticks = seconds * hz + (nanoseconds % kNanosPerSecond) * hz / kNanosPerSecond;
  return QVTaskInfoLinux::startTimeFromTicks(LocalMachineBootTime(), ticks);
}

uint64_t TimeOf(uint64_t seconds, uint64_t nanoseconds) {
  return LocalMachineBootTime() + seconds * kNanosPerSecond + nanoseconds % kNanosPerSecond;
}

}  // namespace

QVNotifyLinux::QVNotifyLinux(std::shared_ptr<QVNotifyDriverLinux> driver, std::unique_ptr<QVDriverBufferSimple> buffer)
    : driver_(driver ? std::move(driver) : QVNotifyDriverLinux::defaultDriver()),
      buffer_(buffer ? std::move(buffer) : std::make_unique<QVDriverBufferSimple>(driver_->filesystem())) {}

QVNotifyLinux::~QVNotifyLinux() {
  if (active_) abort();
}

std::string QVNotifyLinux::_getTagName(uint64_t code) { return QVTaskExitStreamParser::tagName(code); }

bool QVNotifyLinux::start() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (active_ || !driver_ || !buffer_) return false;
  errors_.clear();
  bool opened = false;
  try {
    opened = buffer_->open();
  } catch (const QVException& error) {
    QV_DEBUG("buffer open raised: " << error.message());
  }
  if (!opened) {
    QV_ERROR("failed to open buffer.");
    QV_ERROR("Please check that the kernel drivers are installed properly");
    return false;
  }
  active_ = true;
  thread_ = std::thread([this] { _readBufferThreadBody(); });
  {
    std::unique_lock<std::mutex> wait(readingMutex_);
    readingChanged_.wait(wait, [this] { return reading_; });
  }
  if (!driver_->filesystem()->writeInt("enable", 1)) {
    QV_ERROR("failed to enable monitoring of task exits");
    _endMonitoring("failed to disable monitoring of task exits");
    return false;
  }
  QV_DEBUG("start monitoring task exits");
  return true;
}

void QVNotifyLinux::_readBufferThreadBody() {
  {
    std::lock_guard<std::mutex> lock(readingMutex_);
    reading_ = true;
  }
  readingChanged_.notify_all();
  // While monitoring, an empty read only means no task exited yet; once
  // stopped, the driver's flushed records are taken in down to the last.
  for (;;) {
    const bool monitoring = active_;
    int n = -1;
    try {
      n = buffer_->read();
    } catch (const QVException& error) {
      QV_WARNING("QVNotifyLinux failed to read task exit data: " << error.message());
      break;
    }
    if (n < 0) {
      QV_WARNING("QVNotifyLinux failed to read task exit data (" << n << ")");
    } else {
      QV_DEBUG("QVNotifyLinux read " << n << " bytes of task exit data");
    }
    if (!monitoring && n <= 0) break;
    if (n <= 0) std::this_thread::sleep_for(kIdleRead);
  }
  std::lock_guard<std::mutex> lock(readingMutex_);
  reading_ = false;
}

// Disables the driver, takes in what it still holds and stops the reader.
// False when the driver could not be disabled.
bool QVNotifyLinux::_endMonitoring(const char* disableFailure) {
  const bool disabled = driver_->filesystem()->writeInt("enable", 0);
  if (!disabled) QV_ERROR(disableFailure);
  active_ = false;
  buffer_->dump();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      QV_WARNING("unable to join read buffer thread (current thread)");
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  buffer_->close();
  if (buffer_->bufferOverflowed()) errors_.setWarningId(QVNotifyWarningBufferOverflow);
  return disabled;
}

bool QVNotifyLinux::stop() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!active_) return false;
  const bool disabled = _endMonitoring("failed to disable monitoring of task exits");
  const std::string path = buffer_->getFile();
  if (!path.empty()) _processTaskExits(path);
  buffer_->discardFile();
  QV_DEBUG("stopped monitoring task exits");
  return disabled;
}

void QVNotifyLinux::abort() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!active_) return;
  _endMonitoring("failed to disable notification.");
  buffer_->discardFile();
}

uint64_t QVNotifyLinux::_processTaskExits(const std::string& path) {
  QVEffectiveUser root(0, 0);
  const uint64_t wordSize = driver_->wordSize() != 0 ? driver_->wordSize() : sizeof(void*);
  std::string error;
  auto cursor = QVDriverBufferCursorMapped::open(path, wordSize == 8, error);
  if (!cursor) {
    // An empty stream cannot be mapped: nothing exited.
    QV_DEBUG("no task exit data in " << path << ": " << error);
    return 0;
  }
  QV_DEBUG("opened " << path << " for reading - " << cursor->recordCount() << " records");
  QVTaskExitStreamParser parser(*cursor, wordSize == 8);
  QVTaskExitRecord record;
  uint64_t records = 0;
  while (parser.next(record)) {
    ++records;
    _registerRecord(record);
  }
  if (parser.corrupt()) errors_.setWarningId(QVNotifyWarningBufferCorrupt);
  return records;
}

const std::string& QVNotifyLinux::_pathForCookie(uint64_t cookie) {
  auto found = cookiePaths_.find(cookie);
  if (found != cookiePaths_.end()) return found->second;
  std::string path;
  if (!driver_->filesystem()->lookupDcookie(cookie, path)) {
    QV_DEBUG("no module for cookie: " << cookie);
    path.clear();
  }
  return cookiePaths_.emplace(cookie, path).first->second;
}

void QVNotifyLinux::_registerRecord(const QVTaskExitRecord& record) {
  if (!record.hasThreadInfo) {
    QV_DEBUG("skipping task exit record without thread info");
    return;
  }
  const QVProcessId processId = QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), int64_t(record.tgid),
                                                             StartTimeOf(record.startSeconds, record.startNanoseconds));
  const auto exitTime = NanosToUniversalTime(TimeOf(record.exitSeconds, record.exitNanoseconds));
  std::shared_ptr<QVProcess> process = QVProcess::processWithId(processId, false, false);
  if (!process) {
    // The leader's command name is the process's, as /proc would have shown it.
    auto created =
        std::make_shared<QVProcessLinux>(processId, record.tgid == record.tid ? record.command : "", std::string());
    created->setExitTime(exitTime);
    QVProcess::registerProcess(created);
    process = QVProcess::processWithId(processId, false, false);
    if (process) QV_DEBUG("registered exited process: " << processId);
  } else if (process->name().empty() && record.tgid == record.tid && !record.command.empty()) {
    process->setName(record.command);
  }
  const QVThreadId threadId = QVThreadId::uniqueThreadId(processId, int64_t(record.tid),
                                                         StartTimeOf(record.startSeconds, record.startNanoseconds));
  if (!process) {
    QV_DEBUG("unable to associate exited thread " << threadId << " with a process");
    return;
  }
  if (!QVThread::threadWithId(threadId, false, false)) {
    auto thread = std::make_shared<QVThreadLinux>(
        threadId, NanosToUniversalTime(StartTimeOf(record.startSeconds, record.startNanoseconds)), exitTime);
    thread->setName(record.command);
    QVThread::registerThread(thread);
    QV_DEBUG("registered exited thread: " << threadId);
  }

  for (const QVTaskExitMapping& mapping : record.mappings) {
    if ((mapping.flags & kExecutableFlag) == 0) {
      QV_DEBUG("skipping non-executable module (vm_flags=0x" << std::hex << mapping.flags << std::dec
                                                             << "): " << mapping.cookie);
      continue;
    }
    std::string path = _pathForCookie(mapping.cookie);
    if (mapping.start >= mapping.end) {
      QV_DEBUG("skipping module with invalid address range 0x" << std::hex << mapping.start << "..0x" << mapping.end
                                                               << std::dec << " for module " << path << " in "
                                                               << processId);
      continue;
    }
    if (path.empty() || path.compare(0, 11, "anon_inode:") == 0) {
      QV_DEBUG("skipping module without valid path: " << path);
      continue;
    }
    std::shared_ptr<QVModule> module;
    if (path == "[vdso]") {
      module = QVDebuggerLinux::vdsoModule();
      if (!module) {
        QV_DEBUG("found vdso entry in " << processId << " but null module");
        continue;
      }
    } else {
      if (path.compare(0, 5, "/dev/") == 0 || path.compare(0, 13, "/SYSV00000000") == 0) continue;
      if (EndsWith(path, " (deleted)")) path.resize(path.size() - 10);
      const size_t prelink = path.find(".#prelink#");
      if (prelink != std::string::npos) path.resize(prelink);
      module = QVModuleElf::moduleForFile(path);
      if (!module) {
        continue;
      }
    }
    // The fifth word of an entry is the mapping's file offset: sections
    // land where the mapped bytes put them, as for a live process.
    const unsigned long bias = mapping.start - mapping.offset - module->baseAddress();
    for (const std::shared_ptr<QVSection>& section : module->sections()) {
      if (!section->isExecutable() || section->addressRange().length == 0) continue;
      const QVRange<unsigned long>& range = section->addressRange();
      process->setSectionAtAddressRange(section, QVRange<unsigned long>(range.location + bias, range.length));
    }
  }
}

}  // namespace Quorvel
