#include "PerfRecording.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ostream>

#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "Linux/perf/QVPerfTraceRecorderLinux.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "LogCapture.h"
#include "notify/QVNotificationIds.h"
#include "NotificationText.h"
#include "system/QVFileUtils.h"
#include "system/QVProcessManager.h"
#include "system/QVSystemPaths.h"

namespace Quorvel {
namespace qvprof {

const char* const PerfRecording::DriverName = "perf";

PerfRecording::PerfRecording(const RecordCommand::Settings& settings, const std::shared_ptr<QVSessionConfig>& config,
                             pid_t)
    : settings_(settings), recorder_(std::make_shared<QVPerfTraceRecorderLinux>(config)) {}

PerfRecording::~PerfRecording() = default;

int PerfRecording::paranoia() {
  std::string text;
  if (!FileReadString(QVSystemPaths::path("/proc/sys/kernel/perf_event_paranoid"), text) || text.empty()) {
    return INT_MIN;
  }
  return std::atoi(text.c_str());
}

PerfRecording::Problem PerfRecording::problemFor(const RecordCommand::Settings& settings,
                                                 QVProfileDriverLinuxPerf& driver) {
  if (driver.perfBinaryPath().empty()) {
    return {QVProfileDriverErrorNoDriver, "perf is not installed or does not run (Debian package linux-perf)"};
  }
  if (!driver.isAvailable()) {
    return {QVProfileDriverErrorNoDriver, "the perf driver is not available here (see qvprof drivers -v)"};
  }
  // Watching every process needs CAP_PERFMON (root here) once the kernel
  // restricts perf below that level; tracepoints need it one level lower.
  const int level = paranoia();
  const bool traces = settings.sched || settings.syscalls;
  if (::geteuid() != 0 && level != INT_MIN && (level > 0 || (traces && level > -1))) {
    return {QVProfileDriverErrorIncompatibleConfig,
            "system-wide perf recording needs root or kernel.perf_event_paranoid <= " + std::string(traces ? "-1" : "0") +
                " (it is " + std::to_string(level) + ")"};
  }
  if (!driver.isLoaded()) driver.load({});
  if (traces && !driver.init()) {
    return {QVProfileDriverErrorNoDriver,
            "debugfs is not mounted at /sys/kernel/debug and cannot be mounted; the scheduler and system-call "
            "traces need it"};
  }
  if (settings.syscalls && !driver.syscallTraceSupported()) {
    return {QVProfileDriverErrorIncompatibleConfig, "this kernel has no raw_syscalls tracepoints"};
  }
  if (settings.trigger == "timer") {
    QVErrorManager ids;
    driver.getConfigErrors(ids, false);
    if (ids.testErrorId(QVProfileDriverErrorTriggerNotAvailable)) {
      return {QVProfileDriverErrorTriggerNotAvailable,
              "the timer trigger counts cpu-cycles, which this machine has no hardware counter for; use --trigger "
              "timeros"};
    }
  }
  if (settings.trigger == "event") {
    bool known = false;
    for (const QVPerfMonEventId& event : driver.events()) known = known || event.identifier() == settings.event;
    if (!known) {
      return {QVProfileDriverErrorTriggerNotAvailable,
              "perf has no event '" + settings.event + "' here (see perf list; hardware events need a PMU)"};
    }
  }
  return {};
}

std::string PerfRecording::summary(QVProfileDriverLinuxPerf& driver) {
  const std::string& path = driver.perfBinaryPath();
  if (path.empty()) return "perf is not installed or does not run";
  std::string version;
  QVProcessManager::defaultManager().run(path, {"--version"}, GetTempDirectory(), version);
  while (!version.empty() && (version.back() == '\n' || version.back() == ' ')) version.pop_back();
  const int level = paranoia();
  std::string text = (version.empty() ? std::string("perf") : version) + " (" + path + "), perf_event_paranoid " +
                     (level == INT_MIN ? std::string("unknown") : std::to_string(level));
  const bool initialized = driver.isLoaded() && driver.init();
  text += initialized ? ", debugfs mounted" : ", debugfs not mounted";
  text += ", " + std::to_string(driver.events().size()) + " events";
  if (initialized && !driver.syscallTraceSupported()) text += ", no system-call tracepoints";
  return text;
}

void PerfRecording::start(std::ostream& err) {
  QVProfileDriverLinuxPerf& driver = *QVProfileDriverLinuxPerf::defaultDriver();
  const Problem problem = problemFor(settings_, driver);
  if (!problem.id.empty()) throw QVException("cannot record with perf: " + problem.text + " [" + problem.id + "]",
                                             __LINE__, __FILE__);
  LogCapture capture;
  if (!recorder_->start()) {
    QVErrorManager ids;
    recorder_->getSessionErrors(ids, false);
    NotificationText::write(err, *recorder_, ids, "qvprof: ");
    const std::string reason = capture.lastError();
    throw QVException("cannot start perf" + (reason.empty() ? std::string() : ": " + reason), __LINE__, __FILE__);
  }
}

QVSessionRecorder& PerfRecording::recorder() { return *recorder_; }

void PerfRecording::_followSampleFile() {
  const std::string path = recorder_->sampleDataPath();
  if (path != progress_.path()) progress_.reset(path);
  progress_.update();
}

// Both read the file, whichever the progress line asks first.
uint64_t PerfRecording::sampleCount() {
  _followSampleFile();
  return progress_.samples();
}

size_t PerfRecording::threadCount() {
  _followSampleFile();
  return progress_.threads();
}

std::string PerfRecording::noSamplesReason(const QVErrorManager& ids) const {
  if (!ids.testErrorId(QVPerfTraceRecorderLinuxErrorPerfExitedUnexpectedly)) return std::string();
  const std::string message = recorder_->perfExitMessage();
  return message.empty() ? std::string("perf exited unexpectedly") : message;
}

}  // namespace qvprof
}  // namespace Quorvel
