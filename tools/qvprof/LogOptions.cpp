#include "LogOptions.h"

#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

namespace {

const QVLogLevel kLevels[3] = {QVLogLevel::Debug, QVLogLevel::Warning, QVLogLevel::Error};

}  // namespace

std::vector<Option> LogOptions::options() {
  return {
      {"verbose", 'v', "", "print the library's warnings and errors (same as --log-level warning)"},
      {"log-level", 0, "LEVEL", "lowest level logged: debug, warning, error or none (default none)"},
      {"log-file", 0, "FILE", "append log lines to FILE instead of printing them (level warning unless given)"},
  };
}

LogOptions::LogOptions(const Arguments& arguments) {
  for (int i = 0; i < 3; ++i) saved_[i] = GetLogFlags(kLevels[i]);

  std::string level = arguments.has("verbose") || arguments.has("log-file") ? "warning" : "none";
  level = arguments.choice("log-level", {"debug", "warning", "error", "none"}, level);
  const std::string file = arguments.value("log-file");
  if (!file.empty()) {
    if (!SetLogFile(file)) {
      throw UsageError(arguments.command(), "--log-file: cannot open '" + file + "' for appending");
    }
    fileSet_ = true;
  }

  const int lowest = level == "debug" ? 0 : level == "warning" ? 1 : level == "error" ? 2 : 3;
  for (int i = 0; i < 3; ++i) {
    QVLogFlags flags;
    const bool on = i >= lowest;
    flags.log = on && fileSet_;
    flags.print = on && !fileSet_;
    SetLogFlags(kLevels[i], flags);
  }
}

LogOptions::~LogOptions() {
  for (int i = 0; i < 3; ++i) SetLogFlags(kLevels[i], saved_[i]);
  if (fileSet_) SetLogSink(QVLogSink());
}

}  // namespace qvprof
}  // namespace Quorvel
