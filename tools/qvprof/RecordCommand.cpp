#include "RecordCommand.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>
#include <ostream>
#include <unordered_set>

#include "base/QVErrorManager.h"
#include "base/QVException.h"
#include "CommandLauncher.h"
#include "CpuFreqPin.h"
#include "config/QVSessionConfig.h"
#include "config/QVTimeProfileConfig.h"
#include "DriverCatalog.h"
#include "LogCapture.h"
#include "LogOptions.h"
#include "RecordMetrics.h"
#include "NotificationText.h"
#include "output/QVFileReplacement.h"
#include "proc/QVProcTaskStatParser.h"
#include "notify/QVNotificationIds.h"
#include "ProgressLine.h"
#include "PerfRecording.h"
#include "ProcessRecording.h"
#include "Recording.h"
#include "recording/QVSessionRecorder.h"
#include "RecordingProperties.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "session/QVSessionFile.h"
#include "session/QVSessionProfile.h"
#include "SessionSamples.h"
#include "time/QVTimer.h"
#include "StopSignal.h"
#include "system/QVFileUtils.h"
#include "system/QVSystemPaths.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

const char* const RecordCommand::ExitedBeforeASample =
    "no samples were taken: the target exited before a sample; no session written";

namespace {

// How often the main loop looks at the signal flag, the target and the
// recorder; the progress line redraws at its own, slower pace.
constexpr double kPollSeconds = 0.05;

std::string rateText(double perSecond) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", perSecond);
  return text;
}

// Whether the process has ended: gone, or a zombie its parent has not yet
// collected.
bool hasEnded(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  std::string text;
  FileReadString(QVSystemPaths::path("/proc/" + std::to_string(pid) + "/stat"), text);
  const std::optional<QVProcTaskStat> stat = QVProcTaskStatParser::parse(text);
  return !stat || stat->hasExited();
}

// How long a launched program whose start could not be sampled is given to
// finish exiting before the failure is taken as qvprof's own.
constexpr double kExitGraceSeconds = 0.5;

bool endsWithin(pid_t pid, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!hasEnded(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

Arguments RecordCommand::arguments() const {
  std::vector<Option> options = {
      {"output", 'o', "FILE", "the session file to write (default qvprof.session)"},
      {"pid", 0, "PID", "profile this running process until Ctrl-C or a limit"},
      {"interval", 0, "SECONDS", "time between two samples (default 0.001)"},
      {"time-limit", 0, "SECONDS", "stop recording after this long"},
      {"sample-limit", 0, "N", "stop recording after N samples"},
      {"wrap", 0, "", "at the sample limit keep the newest samples instead of stopping (kernel drivers)"},
      {"adaptive-threshold", 0, "N",
       "kernel drivers double their interval whenever N samples wait in the buffer; 0 keeps it fixed "
       "(default 1000000)"},
      {"no-callstacks", 0, "", "record only the sampled function, not its callers"},
      {"driver", 0, "NAME", "the profile driver to record with (see qvprof drivers)"},
      {"compress", 0, "", "write the session file gzip-compressed (the default)"},
      {"no-compress", 0, "", "write the session file as plain XML"},
      {"pin-cpufreq", 0, "", "pin every processor at its highest frequency while recording (root; see qvprof cpufreq)"},
      {"trigger", 0, "timeros|timer|event", "perf: sample on the OS clock (default), CPU cycles or an event"},
      {"event", 0, "NAME", "perf: the event of --trigger event (see perf list)"},
      {"count", 0, "N", "perf: occurrences of the event between two samples (default 100000)"},
      {"sched", 0, "", "perf: trace the scheduler: when each thread ran and why it stopped"},
      {"syscalls", 0, "", "perf: trace the system calls of every thread"},
  };
  for (const Option& option : RecordMetrics::options()) options.push_back(option);
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Records the call stacks of a program until it exits, or of a running process\n"
                      "(--pid) until Ctrl-C or a limit, and writes them to a session file:\n"
                      "  qvprof record [OPTIONS] -- COMMAND [ARGS...]\n"
                      "  qvprof record [OPTIONS] --pid PID\n"
                      "  qvprof record --driver perf [OPTIONS] [--pid PID | -- COMMAND [ARGS...]]\n"
                      "The perf driver samples the whole machine; with a program or --pid, report and\n"
                      "script show that process unless told otherwise.",
                      options);
  arguments.allowTrailingCommand("COMMAND [ARGS...]");
  arguments.setNotes(
      "Ctrl-C (or SIGTERM) ends the recording and still writes the session. On a\n"
      "terminal, a progress line on stderr shows the elapsed time, samples and threads.\n"
      "The warnings and errors the recording collected are printed with their texts.\n"
      "--pin-cpufreq puts the frequency settings back however the recording ends; one\n"
      "killed outright leaves them in /run/qvprof/cpufreq.state for the next\n"
      "--pin-cpufreq or 'qvprof cpufreq --restore'.\n"
      "Exit status: 0 when the session was written, 1 when it could not be, 2 for a\n"
      "wrong command line.");
  return arguments;
}

RecordCommand::Settings RecordCommand::settingsFrom(const Arguments& arguments) {
  Settings settings;
  const std::string command = arguments.command();
  settings.output = arguments.value("output", settings.output);
  if (settings.output.empty()) throw UsageError(command, "--output: the file name is empty");
  settings.command = arguments.trailingCommand();
  settings.driver = arguments.value("driver", DriverCatalog::defaultRecordingDriver());
  bool known = false;
  for (const auto& entry : DriverCatalog::entries()) {
    if (entry.name != settings.driver) continue;
    known = true;
    if (!entry.canRecord) {
      std::string names;
      for (const Recording::Kind& kind : Recording::kinds()) names += (names.empty() ? "" : ", ") + kind.driver;
      throw UsageError(command, "--driver: '" + settings.driver + "' cannot record with this qvprof; use " + names);
    }
  }
  if (!known) {
    std::string names;
    for (const auto& entry : DriverCatalog::entries()) names += (names.empty() ? "" : ", ") + entry.name;
    throw UsageError(command, "--driver: unknown driver '" + settings.driver + "' (drivers: " + names + ")");
  }

  if (arguments.has("pid")) {
    settings.pid = static_cast<pid_t>(arguments.integer("pid", 0, 1, 4194304));
    if (!settings.command.empty()) {
      throw UsageError(command, "--pid: give either a process to attach to or a program to run, not both");
    }
  } else if (settings.command.empty() && !settings.systemWide()) {
    throw UsageError(command, "nothing to profile: give a program after '--' or a process with --pid");
  }
  settings.interval = arguments.positiveNumber("interval", settings.interval);
  settings.timeLimit = arguments.positiveNumber("time-limit", 0.0);
  // The timer cannot fire faster than its resolution: a shorter period would
  // never end the recording or take a sample.
  for (const char* name : {"interval", "time-limit"}) {
    const double seconds = std::string(name) == "interval" ? settings.interval : settings.timeLimit;
    if (arguments.has(name) && seconds < QVTimer::kResolutionSeconds) {
      throw UsageError(command, std::string("--") + name + ": shorter than the timer's resolution of 1e-06 s");
    }
  }
  settings.sampleLimit = arguments.integer("sample-limit", 0, 1, UINT64_MAX);
  settings.wrap = arguments.has("wrap");
  settings.adaptiveThreshold = arguments.integer("adaptive-threshold", settings.adaptiveThreshold, 0, UINT64_MAX);
  settings.callStacks = !arguments.has("no-callstacks");
  if (arguments.has("compress") && arguments.has("no-compress")) {
    throw UsageError(command, "--no-compress: give either --compress or --no-compress, not both");
  }
  settings.compress = !arguments.has("no-compress");
  settings.pinCpuFreq = arguments.has("pin-cpufreq");
  settings.metrics = RecordMetrics::requestFrom(arguments);

  settings.trigger = arguments.choice("trigger", {"timeros", "timer", "event"}, settings.trigger);
  settings.event = arguments.value("event", "");
  settings.count = arguments.integer("count", 100000, 1, UINT64_MAX);
  settings.sched = arguments.has("sched");
  settings.syscalls = arguments.has("syscalls");
  if (!settings.systemWide()) {
    for (const char* name : {"trigger", "event", "count", "sched", "syscalls"}) {
      if (arguments.has(name)) throw UsageError(command, std::string("--") + name + ": only the perf driver takes it");
    }
  }
  if (settings.trigger == "event" && settings.event.empty()) {
    throw UsageError(command, "--trigger event: name the event with --event");
  }
  if (settings.trigger != "event" && (arguments.has("event") || arguments.has("count"))) {
    throw UsageError(command, std::string("--") + (arguments.has("event") ? "event" : "count") +
                                  ": only applies together with --trigger event");
  }
  if (settings.systemWide() && settings.sampleLimit > 0) {
    throw UsageError(command, "--sample-limit: perf counts its samples only once the recording ends");
  }

  if (settings.wrap && settings.sampleLimit == 0) {
    throw UsageError(command, "--wrap: only applies together with --sample-limit");
  }
  // The process driver keeps every sample it takes and stops at the limit;
  // dropping older samples is what kernel buffers do.
  if (settings.wrap && settings.driver == DriverCatalog::ProcessDriver) {
    throw UsageError(command, "--wrap: the process driver stops at the sample limit and cannot wrap");
  }
  return settings;
}

bool RecordCommand::Settings::systemWide() const { return driver == PerfRecording::DriverName; }

std::shared_ptr<QVSessionConfig> RecordCommand::configFor(const Settings& settings) {
  // The process driver samples the threads of one process; kernel drivers
  // sample every processor on the OS clock.
  auto config = std::make_shared<QVSessionConfig>(settings.driver == DriverCatalog::ProcessDriver
                                                      ? QVSessionConfig::TriggerTimerUser
                                                      : QVSessionConfig::TriggerTimerOS);
  if (settings.systemWide()) {
    config->trigger = QVSessionConfig::triggerFromString(settings.trigger);
    if (config->trigger == QVSessionConfig::TriggerEvent) {
      config->eventConfig->setTriggerEvent(QVPerfMonEventId(settings.event, settings.event, std::string()),
                                           settings.count);
    }
    config->schedTraceConfig->setEnabled(settings.sched);
    config->syscallTraceConfig->setEnabled(settings.syscalls);
  }
  config->setName("qvprof record");
  config->timerConfig->interval = settings.interval;
  config->timeLimitEnable = settings.timeLimit > 0.0;
  if (config->timeLimitEnable) config->timeLimit = settings.timeLimit;
  config->sampleLimitEnable = settings.sampleLimit > 0;
  if (config->sampleLimitEnable) config->sampleLimit = settings.sampleLimit;
  config->sampleLimitAction =
      settings.wrap ? QVSessionConfig::SampleLimitActionWrap : QVSessionConfig::SampleLimitActionStop;
  config->adaptiveEnable = settings.adaptiveThreshold > 0;
  if (config->adaptiveEnable) config->adaptiveThreshold = settings.adaptiveThreshold;
  config->description();
  return config;
}

RecordCommand::Rate RecordCommand::rateOf(const QVSessionProfile& profile, double interval, double durationSeconds) {
  Rate rate;
  const auto& samples = SessionSamples::samplesOf(profile);
  if (samples.empty() || !(interval > 0.0) || !(durationSeconds > 0.0)) return rate;
  // Every tick samples all threads at once, so the distinct sample times
  // count the ticks taken and samples per tick the threads asked for.
  std::unordered_set<uint64_t> ticks;
  for (const auto& sample : samples) {
    if (sample) ticks.insert(sample->endTick());
  }
  const double stacksPerTick = static_cast<double>(samples.size()) / static_cast<double>(ticks.size());
  rate.askedPerSecond = stacksPerTick / interval;
  rate.takenPerSecond = static_cast<double>(samples.size()) / durationSeconds;
  rate.fellBehind = rate.takenPerSecond < 0.9 * rate.askedPerSecond;
  return rate;
}

int RecordCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  return _record(settingsFrom(arguments), out, err);
}

void RecordCommand::_checkOutputWritable(const std::string& path) {
  // A device, FIFO or directory at the path is not ours to replace.
  const std::string why = QVFileReplacement::whyNotReplaceable(path);
  if (!why.empty()) {
    throw QVException("cannot write the session file '" + path + "': " + why, __LINE__, __FILE__);
  }
  const std::string directory = PathDirectory(path);
  if (::access(directory.c_str(), W_OK | X_OK) != 0) {
    throw QVException("cannot write the session file '" + path + "': " + directory + ": " + std::strerror(errno),
                      __LINE__, __FILE__);
  }
}

void RecordCommand::_checkAttachable(pid_t pid) {
  if (pid == getpid()) throw QVException("cannot profile qvprof itself", __LINE__, __FILE__);
  if (::kill(pid, 0) == 0) return;
  if (errno == ESRCH) throw QVException("no process with pid " + std::to_string(pid), __LINE__, __FILE__);
  // Without the right to signal a process there is no right to trace it
  // either, and the process model could not read enough of it to say
  // anything more useful.
  if (errno == EPERM) {
    throw QVException("cannot profile pid " + std::to_string(pid) + ": " + ProcessRecording::notPermittedReason(pid),
                      __LINE__, __FILE__);
  }
}

bool RecordCommand::_waitForEnd(Recording& recording, StopSignal& signals, const CommandLauncher* launcher,
                                std::ostream& err) {
  QVSessionRecorder& recorder = recording.recorder();
  ProgressLine progress(err, &err == &std::cerr && ProgressLine::isTerminal(STDERR_FILENO));
  const auto started = std::chrono::steady_clock::now();
  bool programExited = false;
  while (recorder.isActive()) {
    if (signals.wait(kPollSeconds)) break;
    if (launcher && launcher->hasExited()) {
      programExited = true;
      break;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The sample count waits for a tick in progress; ask only when drawing.
    if (progress.due(elapsed)) {
      progress.update(elapsed, recording.sampleCount(), recording.threadCount());
    }
  }
  if (recorder.isActive()) recorder.stop();
  progress.finish();
  return programExited;
}

void RecordCommand::_noteSettings(QVSessionProfile& profile, const Settings& settings, pid_t pid,
                                  const std::string& stopReason) {
  QVPropertyMap& properties = profile.mutableProperties();
  properties.setString(QVSessionProfile::KeyProfileDriverName, settings.driver);
  properties.setString(QVSessionProfile::KeyCollectCallStacks, settings.callStacks ? "true" : "false");
  properties.setString(RecordingProperties::StopReason, stopReason);
  properties.setSigned(RecordingProperties::TargetPid, pid);
  properties.setFloat(RecordingProperties::Interval, settings.interval);
  if (!settings.command.empty()) {
    properties.setString(RecordingProperties::Command, CommandLauncher::commandLine(settings.command));
  }
}

int RecordCommand::_record(const Settings& settings, std::ostream& out, std::ostream& err) {
  const std::shared_ptr<QVSessionConfig> config = configFor(settings);
  // Found out now rather than after a long recording that cannot be saved.
  _checkOutputWritable(settings.output);
  // Before any thread starts, so that every thread the recording creates
  // inherits the blocked signals (see StopSignal).
  StopSignal signals;
  // Before the program starts, so that all of it runs pinned; declared
  // before everything that may throw, so that every way out restores.
  std::unique_ptr<CpuFreqPin> pin;
  if (settings.pinCpuFreq) pin = std::make_unique<CpuFreqPin>(err);

  pid_t pid = settings.pid;
  if (settings.command.empty() && pid >= 0) _checkAttachable(pid);
  // perf starts first and the program once perf counts, so that the
  // program's start is in the recording; the process driver needs the
  // program's pid before it can start.
  std::unique_ptr<Recording> recording;
  if (settings.systemWide()) {
    recording = Recording::create(settings, config, settings.pid);
    recording->start(err);
  }
  std::unique_ptr<CommandLauncher> launcher;
  if (!settings.command.empty()) {
    launcher = std::make_unique<CommandLauncher>(settings.command, &signals);
    pid = launcher->pid();
  }

  RecordMetrics metrics(settings.metrics, pid);
  if (!recording) {
    recording = Recording::create(settings, config, pid);
    if (!recording) {
      throw QVException("qvprof cannot record with the " + settings.driver + " driver", __LINE__, __FILE__);
    }
    try {
      recording->start(err);
    } catch (const QVException&) {
      // A program that ends at once (/bin/true) is gone, or on its way out
      // (its memory and executable already released), before the process
      // model or the first sample could see it: that is no fault of qvprof.
      if (launcher && endsWithin(pid, kExitGraceSeconds)) throw QVException(ExitedBeforeASample, __LINE__, __FILE__);
      throw;
    }
  }
  QVSessionRecorder& recorder = recording->recorder();
  bool targetExited = _waitForEnd(*recording, signals, launcher.get(), err);
  // The last metric pass now, while a target that is still running can be
  // read, rather than after collecting.
  const std::shared_ptr<QVSessionDataMetrics> metricData = metrics.finish();
  // A program qvprof started ends with its recording when the user asked
  // for the end; otherwise (a limit) it is ended once the session is saved.
  if (signals.requested() && launcher) launcher->terminate(2.0);
  // Nothing left to measure: the machine gets its settings back before the
  // session is decoded and written.
  if (pin) pin->restore();

  // Kernel drivers learn of lost, corrupt or thinned samples only while
  // collecting, so the notifications are read after it.
  const std::shared_ptr<QVSessionProfile> profile = recorder.collect();
  QVErrorManager ids;
  recorder.getSessionErrors(ids, false);
  if (recording->targetExited(ids)) targetExited = true;
  NotificationText::write(err, recorder, ids, "qvprof: ");

  if (profile) profile->setMetricData(metricData);
  const SessionSamples session(profile);
  if (!profile || session.samples().empty()) {
    if (targetExited) throw QVException(ExitedBeforeASample, __LINE__, __FILE__);
    std::string reason = recording->noSamplesReason(ids);
    if (reason.empty()) reason = "no samples were taken";
    throw QVException(reason + "; no session written", __LINE__, __FILE__);
  }

  const bool endedByExit = targetExited && recorder.stopReason() != QVSessionRecorder::StopReasonError;
  _noteSettings(*profile, settings, pid,
                endedByExit ? std::string("target exited") : RecordingProperties::stopReasonText(recorder.stopReason()));
  QVSessionFile::write(*profile, settings.output, settings.compress);

  const double duration = recorder.durationTime();
  const Rate rate = rateOf(*profile, settings.interval, duration);
  // Kernel drivers sample processors, not threads: an idle processor gives
  // no samples, which is no falling behind.
  if (rate.fellBehind && settings.driver == DriverCatalog::ProcessDriver) {
    err << "qvprof: sampling fell behind the interval: asked for " << rateText(rate.askedPerSecond)
        << " stacks/s, took " << rateText(rate.takenPerSecond) << " stacks/s\n";
  }
  std::unordered_set<QVThreadId> threads;
  for (const auto& sample : session.samples()) {
    if (sample) threads.insert(sample->context().threadId());
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", duration);
  err << "qvprof: wrote " << session.samples().size() << " samples of " << threads.size()
      << (threads.size() == 1 ? " thread" : " threads") << " over " << seconds << " s to " << settings.output;
  if (launcher && launcher->hasExited()) {
    err << " (" << CommandLauncher::commandLine(settings.command) << ' ' << launcher->statusText() << ")";
  }
  err << '\n';
  out.flush();
  return ExitSuccess;
}

}  // namespace qvprof
}  // namespace Quorvel
