#pragma once

#include <string>

#include "Linux/perf/QVPerfDataProgress.h"
#include "Recording.h"

namespace Quorvel {

class QVPerfTraceRecorderLinux;
class QVProfileDriverLinuxPerf;

namespace qvprof {

// Recording with the perf tool, the "perf" driver: the whole machine is
// sampled (and, when asked, its scheduler and system calls traced) while
// the program runs or until Ctrl-C or a limit.
class PerfRecording : public Recording {
 public:
  static const char* const DriverName;  // "perf"

  PerfRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                pid_t pid);
  ~PerfRecording() override;

  void start(std::ostream& err) override;
  QVSessionRecorder& recorder() override;
  // What perf has written to its sample file so far: the samples, and the
  // threads they came from. perf writes out its buffers (some hundred KiB
  // per processor) as they fill, so at low sampling rates the figures trail
  // the recording by seconds.
  uint64_t sampleCount() override;
  size_t threadCount() override;
  std::string noSamplesReason(const QVErrorManager& ids) const override;

  // Why perf cannot record what the settings ask for here, as one line,
  // with the notification id that stands for it; empty when nothing is in
  // the way.
  struct Problem {
    std::string id;
    std::string text;
  };
  static Problem problemFor(const RecordCommand::Settings& settings, QVProfileDriverLinuxPerf& driver);
  // What the driver found: "perf 6.1 (/usr/bin/perf), perf_event_paranoid 2,
  // debugfs mounted, 10 events".
  static std::string summary(QVProfileDriverLinuxPerf& driver);
  // The kernel's perf_event_paranoid setting; INT_MIN when unreadable.
  static int paranoia();

 private:
  RecordCommand::Settings settings_;
  void _followSampleFile();

  std::shared_ptr<QVPerfTraceRecorderLinux> recorder_;
  QVPerfDataProgress progress_;
};

}  // namespace qvprof
}  // namespace Quorvel
