#include "base/QVLog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "base/QVStackTrace.h"

namespace Quorvel {

namespace {

constexpr int kLevelCount = 3;
// Bit per level set while that level logs or prints, and one bit while any
// capture is active: LogIsEnabled reads only this word.
constexpr unsigned kCaptureBit = 1u << kLevelCount;
// WARNING and ERROR until the log state is built, so that the word is right
// from constant initialisation on and needs no guard to read.
constexpr unsigned kDefaultBits =
    (1u << static_cast<int>(QVLogLevel::Warning)) | (1u << static_cast<int>(QVLogLevel::Error));

std::atomic<unsigned> gEnabledBits{kDefaultBits};

// All mutable state of the log. Never destroyed, so that logging from other
// static destructors stays safe at exit.
class LogState {
 public:
  static LogState& instance() {
    static LogState* state = new LogState();
    return *state;
  }

  void setFlags(int level, const QVLogFlags& flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    flags_[level] = flags;
    publishEnabledBits();
  }

  QVLogFlags flags(int level) {
    std::lock_guard<std::mutex> lock(mutex_);
    return flags_[level];
  }

  void setSink(QVLogSink sink) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sink_.swap(sink);
    }
    // The old sink (and the file it may own) goes away outside the lock, in
    // case closing it logs.
  }

  void startCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    captureStarts_.push_back(captured_.size());
    publishEnabledBits();
  }

  std::string stopCapture() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (captureStarts_.empty()) {
      return std::string();
    }
    const size_t start = captureStarts_.back();
    captureStarts_.pop_back();
    std::string text = captured_.substr(start);
    // Only the outermost capture may drop the text; inner ones must leave it
    // for the captures that enclose them.
    if (captureStarts_.empty()) {
      captured_.clear();
      captured_.shrink_to_fit();
    }
    publishEnabledBits();
    return text;
  }

  void write(const std::string& line, bool print, bool log, bool capture) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log && sink_) {
      sink_(line);
    }
    if (capture && !captureStarts_.empty()) {
      captured_ += line;
      captured_ += '\n';
    }
    if (print) {
      // One fwrite under the lock keeps lines from different threads whole.
      std::string printed = line + '\n';
      std::fwrite(printed.data(), 1, printed.size(), stderr);
      std::fflush(stderr);
    }
  }

 private:
  LogState() {
    // Warnings and errors are logged as well as printed, so that a sink or
    // log file set later receives them without touching the flags.
    flags_[static_cast<int>(QVLogLevel::Warning)] = QVLogFlags{true, true, false};
    flags_[static_cast<int>(QVLogLevel::Error)] = QVLogFlags{true, true, false};
    // Read once at load; presence alone counts.
    if (std::getenv("QV_DEBUG_LOG") != nullptr) {
      flags_[static_cast<int>(QVLogLevel::Debug)].log = true;
      flags_[static_cast<int>(QVLogLevel::Debug)].print = true;
    }
    publishEnabledBits();
  }

  // Called with mutex_ held.
  void publishEnabledBits() {
    unsigned bits = captureStarts_.empty() ? 0u : kCaptureBit;
    for (int level = 0; level < kLevelCount; ++level) {
      if (flags_[level].log || flags_[level].print) {
        bits |= 1u << level;
      }
    }
    gEnabledBits.store(bits, std::memory_order_relaxed);
  }

  std::mutex mutex_;
  QVLogFlags flags_[kLevelCount];
  QVLogSink sink_;
  std::vector<size_t> captureStarts_;
  std::string captured_;
};

// Forces the environment to be read when the library loads rather than at
// the first message.
const bool kLogStateReady = (LogState::instance(), true);

int LevelIndex(QVLogLevel level) {
  const int index = static_cast<int>(level);
  return (index >= 0 && index < kLevelCount) ? index : static_cast<int>(QVLogLevel::Error);
}

// The file's name without folders and extension, with "Linux/" before the
// name of a Linux class, so that lines read the same whichever directory the
// library was built in and however the sources are grouped into folders.
std::string LogSourceName(const char* sourceFile) {
  if (sourceFile == nullptr) {
    return std::string();
  }
  const std::string_view path(sourceFile);
  const size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) {
    name = name.substr(0, dot);
  }
  const bool isLinuxClass = slash != std::string_view::npos &&
                     ("/" + std::string(path.substr(0, slash)) + "/").find("/Linux/") != std::string::npos;
  return (isLinuxClass ? "Linux/" : "") + std::string(name);
}

}  // namespace

namespace detail {

void LogMessage(QVLogLevel level, const std::string& message, const char* sourceFile, int line) {
  LogState& state = LogState::instance();
  const QVLogFlags flags = state.flags(LevelIndex(level));
  const bool capture = (gEnabledBits.load(std::memory_order_relaxed) & kCaptureBit) != 0;
  _LOG(LogLevelWord(level), message, sourceFile, line, flags.print, flags.log, capture, flags.callstack);
}

}  // namespace detail

const char* LogLevelWord(QVLogLevel level) {
  switch (level) {
    case QVLogLevel::Debug:
      return "DEBUG";
    case QVLogLevel::Warning:
      return "WARNING";
    case QVLogLevel::Error:
      return "ERROR";
  }
  return "ERROR";
}

void SetLogFlags(QVLogLevel level, const QVLogFlags& flags) { LogState::instance().setFlags(LevelIndex(level), flags); }

QVLogFlags GetLogFlags(QVLogLevel level) { return LogState::instance().flags(LevelIndex(level)); }

bool LogIsEnabled(QVLogLevel level) {
  const unsigned bits = gEnabledBits.load(std::memory_order_relaxed);
  return (bits & (kCaptureBit | (1u << LevelIndex(level)))) != 0;
}

void SetLogSink(QVLogSink sink) { LogState::instance().setSink(std::move(sink)); }

bool SetLogFile(const std::string& path) {
  auto file = std::make_shared<std::ofstream>(path, std::ios::out | std::ios::app);
  if (!file->is_open()) {
    QV_WARNING("unable to open log file: " << path);
    return false;
  }
  SetLogSink([file](const std::string& line) {
    *file << boost::posix_time::to_iso_extended_string(boost::posix_time::microsec_clock::universal_time()) << ' '
          << line << '\n';
    file->flush();
  });
  return true;
}

void _LOG(const char* level, const std::string& message, const char* sourceFile, int line, bool print, bool log,
          bool capture, bool callstack) {
  if (!print && !log && !capture) {
    return;
  }
  std::string text = (level != nullptr ? std::string(level) : std::string("ERROR")) + " " + message + " [" +
                     LogSourceName(sourceFile) + ":" + std::to_string(line) + "]";
  if (callstack) {
    // Starts the trace at whoever logged, past _LOG and the macros' entry.
    const std::string trace = QVStackTrace::dropLeadingFrames(
        QVStackTrace::dropLeadingFrames(QVStackTrace::capture(), "Quorvel::_LOG("), "Quorvel::detail::LogMessage(");
    if (!trace.empty()) {
      text += "\nStack Trace: " + trace;
    }
  }
  LogState::instance().write(text, print, log, capture);
}

void StartCaptureLog() { LogState::instance().startCapture(); }

void StopCaptureLog(std::string& text) { text = LogState::instance().stopCapture(); }

}  // namespace Quorvel
