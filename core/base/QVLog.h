#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace Quorvel {

enum class QVLogLevel : int { Debug = 0, Warning = 1, Error = 2 };

// "DEBUG", "WARNING" or "ERROR".
const char* LogLevelWord(QVLogLevel level);

// Per level: whether a message goes to the log sink (log), to the console
// (print), and whether the caller's stack is appended (callstack).
struct QVLogFlags {
  bool log = false;
  bool print = false;
  bool callstack = false;
};
void SetLogFlags(QVLogLevel level, const QVLogFlags& flags);
QVLogFlags GetLogFlags(QVLogLevel level);

// True when a message of this level would go anywhere (log, print or an
// active capture). Cheap enough to test before formatting any message.
bool LogIsEnabled(QVLogLevel level);

// Where logged lines go. An empty sink discards them. Printed lines always go
// to stderr. Both are thread-safe; a sink is called under the log's lock.
using QVLogSink = std::function<void(const std::string& line)>;
void SetLogSink(QVLogSink sink);
// Appends logged lines to a file; false (and the previous sink kept) when the
// file cannot be opened.
bool SetLogFile(const std::string& path);

// The core's logging entry: level is "DEBUG", "WARNING" or "ERROR"; the line
// written is the level word, the message, and the source name (path without
// extension, relative to the library folder) with the line number.
void _LOG(const char* level, const std::string& message, const char* sourceFile, int line, bool print,
          bool log, bool capture, bool callstack);

// Collects the text of every line logged, from any thread, between the two
// calls. Calls nest; each Stop returns what was logged since its Start.
void StartCaptureLog();
void StopCaptureLog(std::string& text);

namespace detail {
void LogMessage(QVLogLevel level, const std::string& message, const char* sourceFile, int line);
}  // namespace detail

}  // namespace Quorvel

// Stream-style logging that formats only when the level is enabled:
//   QV_DEBUG("mapped " << count << " sections");
#define QV_LOG(level, expr)                                                            \
  do {                                                                                 \
    if (::Quorvel::LogIsEnabled(level)) {                                              \
      std::ostringstream qv_log_stream_;                                               \
      qv_log_stream_ << expr;                                                          \
      ::Quorvel::detail::LogMessage(level, qv_log_stream_.str(), __FILE__, __LINE__);  \
    }                                                                                  \
  } while (false)
#define QV_DEBUG(expr) QV_LOG(::Quorvel::QVLogLevel::Debug, expr)
#define QV_WARNING(expr) QV_LOG(::Quorvel::QVLogLevel::Warning, expr)
#define QV_ERROR(expr) QV_LOG(::Quorvel::QVLogLevel::Error, expr)
