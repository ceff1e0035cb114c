#include "Linux/notify/QVTaskExitStream.h"

#include <sstream>

#include "Linux/driver/QVDriverEventScanner.h"
#include "base/QVLog.h"

namespace Quorvel {

namespace {

// Words of payload the driver writes after THREAD_INFO_BEGIN and per module.
constexpr uint64_t kThreadInfoWords = 8;
constexpr uint64_t kModuleEntryWords = 5;

std::string hex(uint64_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

}  // namespace

QVTaskExitStreamParser::QVTaskExitStreamParser(QVDriverBufferCursorAbstract& cursor, bool is64, Log log)
    : cursor_(cursor), escape_(QVDriverEscapeMarker(is64)), wordBytes_(is64 ? 8 : 4), log_(std::move(log)) {}

std::string QVTaskExitStreamParser::tagName(uint64_t code) {
  switch (code) {
    case RECORD_BEGIN:
      return "RECORD_BEGIN";
    case THREAD_INFO_BEGIN:
      return "THREAD_INFO_BEGIN";
    case THREAD_INFO_END:
      return "THREAD_INFO_END";
    case MODULE_LIST_BEGIN:
      return "MODULE_LIST_BEGIN";
    case MODULE_LIST_END:
      return "MODULE_LIST_END";
    case RECORD_END:
      return "RECORD_END";
    default:
      return "UNKNOWN (0x" + hex(code) + ")";
  }
}

void QVTaskExitStreamParser::_fault(const std::string& text) {
  corrupt_ = true;
  if (log_) {
    log_(text);
  } else {
    QV_WARNING(text);
  }
}

void QVTaskExitStreamParser::_stateFault(uint64_t code) {
  _fault("[qvnotify] buffer corrupted (" + tagName(code) + ") - record:" + (record_ ? "1" : "0") +
         " info:" + (info_ ? "1" : "0") + " moduleList:" + (moduleList_ ? "1" : "0"));
}

bool QVTaskExitStreamParser::_readThreadInfo(QVTaskExitRecord& record) {
  uint64_t words[kThreadInfoWords];
  for (uint64_t& word : words) {
    if (!cursor_.nextRecord(word)) {
      _fault("[qvnotify] unable to process event buffer - incomplete thread info");
      return false;
    }
  }
  // Words 2 and 3 hold the task's command name, its bytes in stream order
  // and NUL-padded; a driver that leaves them zero names nothing.
  record.hasThreadInfo = true;
  record.tgid = words[0];
  record.tid = words[1];
  // Host byte order on both sides: the low byte of a word comes first.
  std::string command;
  for (unsigned i = 0; i < 2 * wordBytes_; ++i) {
    const char c = char((words[2 + i / wordBytes_] >> (8 * (i % wordBytes_))) & 0xff);
    if (c == '\0') break;
    command.push_back(c);
  }
  record.command = command;
  record.startSeconds = words[4];
  record.startNanoseconds = words[5];
  record.exitSeconds = words[6];
  record.exitNanoseconds = words[7];
  return true;
}

bool QVTaskExitStreamParser::_readModuleList(QVTaskExitRecord& record) {
  uint64_t countWord = 0;
  if (!cursor_.nextRecord(countWord)) {
    _fault("[qvnotify] unable to process event buffer - incomplete module info (0 of 0)");
    return false;
  }
  const int32_t count = int32_t(uint32_t(countWord));
  if (count < 0) {
    // Nothing sensible follows a negative count; the entries that may
    // come are skipped as stray words until the list's end tag.
    _fault("[qvnotify] buffer corrupted - invalid module count " + std::to_string(count));
    return true;
  }
  // The count comes from the stream: memory grows with what is read, not
  // with what the count claims.
  for (int32_t k = 0; k < count; ++k) {
    uint64_t words[kModuleEntryWords];
    for (uint64_t& word : words) {
      if (!cursor_.nextRecord(word)) {
        _fault("[qvnotify] unable to process event buffer - incomplete module info (" + std::to_string(k) + " of " +
               std::to_string(count) + ")");
        return false;
      }
    }
    record.mappings.push_back({words[0], words[1], words[2], words[3], words[4]});
  }
  return true;
}

bool QVTaskExitStreamParser::next(QVTaskExitRecord& record) {
  QVTaskExitRecord current;
  uint64_t word = 0;
  while (!ended_ && cursor_.nextRecord(word)) {
    if (word != escape_) {
      _fault("[qvnotify] buffer corrupted - unexpected value during buffer parse: 0x" + hex(word));
      continue;
    }
    uint64_t code = 0;
    if (!cursor_.nextRecord(code)) {
      _fault("[qvnotify] buffer corrupted - incomplete escape code sequence");
      break;
    }
    const bool onlyRecord = record_ && !info_ && !moduleList_;
    switch (code) {
      case RECORD_BEGIN:
        if (record_) {
          // The open record never ended; the new one is the better bet.
          _stateFault(code);
          info_ = moduleList_ = false;
        }
        record_ = true;
        current = QVTaskExitRecord();
        break;
      case THREAD_INFO_BEGIN:
        if (!onlyRecord) {
          _stateFault(code);
          break;
        }
        info_ = true;
        if (!_readThreadInfo(current)) ended_ = true;
        break;
      case THREAD_INFO_END:
        if (!record_ || !info_ || moduleList_) {
          _stateFault(code);
          break;
        }
        info_ = false;
        break;
      case MODULE_LIST_BEGIN:
        if (!onlyRecord) {
          _stateFault(code);
          break;
        }
        moduleList_ = true;
        if (!_readModuleList(current)) ended_ = true;
        break;
      case MODULE_LIST_END:
        if (!record_ || info_ || !moduleList_) {
          _stateFault(code);
          break;
        }
        moduleList_ = false;
        break;
      case RECORD_END:
        if (!onlyRecord) {
          _stateFault(code);
          break;
        }
        record_ = false;
        record = std::move(current);
        return true;
      default:
        _stateFault(code);
        break;
    }
  }
  ended_ = true;
  return false;
}

}  // namespace Quorvel
