#include "RecordingProperties.h"

namespace Quorvel {
namespace qvprof {

const char* const RecordingProperties::StopReason = "stop_reason";
const char* const RecordingProperties::Command = "command";
const char* const RecordingProperties::TargetPid = "target_pid";
const char* const RecordingProperties::Interval = "interval";

std::string RecordingProperties::stopReasonText(QVSessionRecorder::StopReason reason) {
  switch (reason) {
    case QVSessionRecorder::StopReasonNone:
      return "none";
    case QVSessionRecorder::StopReasonUser:
      return "user";
    case QVSessionRecorder::StopReasonSampleLimit:
      return "sample limit";
    case QVSessionRecorder::StopReasonTimeLimit:
      return "time limit";
    case QVSessionRecorder::StopReasonAbort:
      return "abort";
    case QVSessionRecorder::StopReasonError:
      return "error";
  }
  return "reason " + std::to_string(static_cast<int>(reason));
}

}  // namespace qvprof
}  // namespace Quorvel
