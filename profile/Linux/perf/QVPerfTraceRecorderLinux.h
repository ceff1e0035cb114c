#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Linux/perf/QVPerfTaskInfoManager.h"
#include "recording/QVSampler.h"
#include "system/QVProcessManager.h"

namespace Quorvel {

class QVProfileDriverLinuxPerf;
class QVPerfTraceEventFormatTable;

// Records a session system-wide through up to three perf children: the
// call-stack sampler (always), the scheduler trace (sched_switch, when the
// configuration enables it) and the system-call trace (raw_syscalls enter
// and exit, likewise). Each writes a temporary perf.data file that
// collection turns into tenures (QVPerfTraceDecoder) and then removes.
//
// A child that dies while the recording is active (killed, or perf refusing
// the configuration) sets QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly
// and aborts the recording; its file is removed with the others. A child
// ended by SIGINT or SIGTERM (the terminal's Ctrl-C reaches perf too) has
// finished its file and is collected as usual. The process
// manager reports the exit without reaping the child, so the recorder's own
// waitpid in _stop and _abort still collects it.
class QVPerfTraceRecorderLinux : public QVSampler {
 public:
  static const char* const TEMP_SAMPLE_DATA_FILE_PREFIX;  // "quorvel-perf-callstack-samples"
  static const char* const TEMP_TRACE_DATA_FILE_PREFIX;   // "quorvel-perf-event-trace"

  explicit QVPerfTraceRecorderLinux(const std::shared_ptr<QVSessionConfig>& config);
  ~QVPerfTraceRecorderLinux() override;

  bool getErrorMessage(std::ostream& os, const std::string& id) const override;
  bool getWarningMessage(std::ostream& os, const std::string& id) const override;
  bool setConfig(const std::shared_ptr<QVSessionConfig>& config) override;

  // The pids of the running children (-1 when none): for tests and for
  // callers that show what runs.
  pid_t samplePid() const { return sample_.pid.load(); }
  pid_t schedulerTracePid() const { return scheduler_.pid.load(); }
  pid_t syscallTracePid() const { return syscall_.pid.load(); }
  // The data files of the last recording; empty when none was made.
  std::vector<std::string> dataPaths() const;
  // The call-stack sample file, which perf writes while it records; empty
  // when none is being written.
  std::string sampleDataPath() const;
  // How the child that ended the recording ended, with the last line it
  // wrote ("perf callstack sample process killed by signal 9"); empty when
  // none did.
  std::string perfExitMessage() const;

  // The argument lists that start the children, for the current
  // configuration and driver; empty with a log line when the configuration
  // cannot be recorded (an unsupported trigger, too short an interval).
  std::vector<std::string> sampleArguments(const std::string& dataPath) const;
  std::vector<std::string> schedulerTraceArguments(const std::string& dataPath) const;
  std::vector<std::string> syscallTraceArguments(const std::string& dataPath) const;

  // The process-wide tracepoint formats, read once from the tracing
  // directory under debugfs.
  static const QVPerfTraceEventFormatTable& eventFormats();

  static bool debugPerfTrace_;
  static bool debugKeepPerfTraceData_;

 protected:
  bool _start() override;
  bool _stop() override;
  bool _abort() override;
  bool _collect() override;
  void _handleChildProcessExit(pid_t pid, int status);

 private:
  struct Child {
    Child(const char* word, const char* keptName) : word(word), keptName(keptName) {}
    const char* word;        // "callstack sample", "scheduler trace", "syscall trace"
    const char* keptName;    // the fixed file name kept for debugging
    std::atomic<pid_t> pid{-1};
    std::string dataPath;
    std::string logPath;  // what perf writes to stdout and stderr
    std::string controlPath, ackPath;
    std::uint64_t firstTime = 0, lastTime = 0;
  };

  bool _startChild(Child& child, const char* prefix, bool enabled,
                   std::vector<std::string> (QVPerfTraceRecorderLinux::*arguments)(const std::string&) const);
  void _stopChild(Child& child);
  bool _childAlive(const Child& child) const;
  // Tells a perf started with its events disabled to enable them and waits
  // for its acknowledgement.
  bool _enable(const Child& child, std::chrono::steady_clock::time_point deadline) const;
  // Without a control channel: waits for the file header perf writes once
  // its events are open.
  bool _awaitHeader(const Child& child, std::chrono::steady_clock::time_point deadline) const;
  void _removeDataFiles();
  bool _traceEnabled(bool scheduler) const;

  std::shared_ptr<QVProfileDriverLinuxPerf> driver_;
  Child scheduler_{"scheduler trace", "/quorvel-perf-sched-trace.data"};
  Child syscall_{"syscall trace", "/quorvel-perf-syscall-trace.data"};
  Child sample_{"callstack sample", "/quorvel-perf-sample.data"};
  pid_t ownPid_;
  QVPerfTaskInfoManager tasks_;
  QVProcessManager::HandlerToken exitHandler_ = 0;
  bool excludePerf_ = false;
  bool controlFifo_ = false;
  // Set once the recorder itself ends the children, whose exits are then
  // expected.
  std::atomic<bool> stopping_{false};
  std::string perfExitMessage_;
};

}  // namespace Quorvel
