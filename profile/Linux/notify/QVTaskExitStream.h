#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Linux/driver/QVDriverBufferCursor.h"

namespace Quorvel {

/// The tags of the task-exit stream; each follows the escape marker.
enum QVTaskExitTag : uint64_t {
  RECORD_BEGIN = 1,
  THREAD_INFO_BEGIN = 2,
  THREAD_INFO_END = 3,
  MODULE_LIST_BEGIN = 4,
  MODULE_LIST_END = 5,
  RECORD_END = 6,
};

/// One executable mapping of an exited task, as the driver reports it.
struct QVTaskExitMapping {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t flags = 0;   ///< the memory area's vm_flags; 0x4 marks it executable
  uint64_t cookie = 0;  ///< the mapped file's cookie
  uint64_t offset = 0;  ///< the file offset the mapping starts at
};

/// One exited task: its identity, times counted from boot, and mappings.
struct QVTaskExitRecord {
  bool hasThreadInfo = false;
  uint64_t tgid = 0;
  uint64_t tid = 0;
  /// The task's command name as the driver knew it at exit ("" when not).
  std::string command;
  uint64_t startSeconds = 0;
  uint64_t startNanoseconds = 0;
  uint64_t exitSeconds = 0;
  uint64_t exitNanoseconds = 0;
  std::vector<QVTaskExitMapping> mappings;
};

/// Splits the words of a task-exit stream into records. Every tag is checked
/// against the open record, thread info and module list; a tag in the wrong
/// state, an unknown tag or a stray word is logged and skipped so the records
/// around it survive. A payload cut short ends the stream. The first fault
/// makes corrupt() true.
class QVTaskExitStreamParser {
 public:
  using Log = std::function<void(const std::string&)>;

  /// log receives one line per fault (null: the library's warning log).
  QVTaskExitStreamParser(QVDriverBufferCursorAbstract& cursor, bool is64, Log log = nullptr);

  /// The next record closed by RECORD_END; false at the end of the words.
  bool next(QVTaskExitRecord& record);

  bool corrupt() const { return corrupt_; }

  /// "RECORD_BEGIN" ... "RECORD_END", or "UNKNOWN (0x…)".
  static std::string tagName(uint64_t code);

 private:
  void _fault(const std::string& text);
  void _stateFault(uint64_t code);
  bool _readThreadInfo(QVTaskExitRecord& record);
  bool _readModuleList(QVTaskExitRecord& record);

  QVDriverBufferCursorAbstract& cursor_;
  uint64_t escape_;
  unsigned wordBytes_;
  Log log_;
  bool record_ = false;
  bool info_ = false;
  bool moduleList_ = false;
  bool corrupt_ = false;
  bool ended_ = false;
};

}  // namespace Quorvel
