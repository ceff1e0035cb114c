#pragma once

#include <string>

#include "recording/QVSessionRecorder.h"

namespace Quorvel {

class QVPropertyMap;

namespace qvprof {

// What qvprof record notes in a session's properties beyond the library's
// own keys, so that qvprof info can tell later how the recording went.
class RecordingProperties {
 public:
  static const char* const StopReason;  // "stop_reason": a word from stopReasonText
  static const char* const Command;     // "command": the program run, words joined by blanks
  static const char* const TargetPid;   // "target_pid": the profiled process
  static const char* const Interval;    // "interval": seconds between samples asked for

  // "none", "user", "sample limit", "time limit", "abort", "error";
  // "reason N" for a value this build does not know.
  static std::string stopReasonText(QVSessionRecorder::StopReason reason);
};

}  // namespace qvprof
}  // namespace Quorvel
