#pragma once

#include <vector>

#include "Arguments.h"
#include "base/QVLog.h"

namespace Quorvel {
namespace qvprof {

// The logging options every command shares: -v, --log-level LEVEL and
// --log-file FILE. qvprof is quiet by default because the problems a user
// must see reach them as notification messages; the library's own log lines
// are for diagnosing qvprof itself.
//
// Applying them changes the process-wide log flags; the object puts the
// previous flags back when it goes away, so commands run in-process (tests)
// do not leak their settings into each other.
class LogOptions {
 public:
  static std::vector<Option> options();

  // Throws UsageError for an unknown level or a log file that cannot
  // be opened.
  explicit LogOptions(const Arguments& arguments);
  ~LogOptions();
  LogOptions(const LogOptions&) = delete;
  LogOptions& operator=(const LogOptions&) = delete;

 private:
  QVLogFlags saved_[3];
  bool fileSet_ = false;
};

}  // namespace qvprof
}  // namespace Quorvel
