#pragma once

#include <sys/types.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "RecordMetrics.h"
#include "Command.h"

namespace Quorvel {

class QVSessionConfig;
class QVSessionProfile;

namespace qvprof {

class CommandLauncher;
class Recording;
class StopSignal;

// "qvprof record": profiles a program it starts (-- COMMAND [ARGS...]) until
// it exits, or a running process (--pid PID) until Ctrl-C or a limit, and
// writes the session file. The perf driver records the whole machine, and
// needs neither.
//
// Exit status 0 when a session was written; otherwise 1 with a one-line
// reason on stderr (2 for a wrong command line).
class RecordCommand : public Command {
 public:
  // The recording as the command line asks for it.
  struct Settings {
    std::string output = "qvprof.session";
    pid_t pid = -1;                    // --pid, -1 when a program is run
    std::vector<std::string> command;  // the program to run
    double interval = 0.001;
    double timeLimit = 0.0;            // 0: none
    uint64_t sampleLimit = 0;          // 0: none
    bool wrap = false;
    uint64_t adaptiveThreshold = 1000000;  // kernel drivers; 0: the interval stays fixed
    bool callStacks = true;
    bool compress = true;
    bool pinCpuFreq = false;
    std::string driver;
    RecordMetrics::Request metrics;
    // perf only: what triggers a sample and the traces beside the samples.
    std::string trigger = "timeros";  // timeros, timer or event
    std::string event;                // --event, for the event trigger
    uint64_t count = 0;               // --count, occurrences between samples
    bool sched = false;
    bool syscalls = false;
    // perf records the whole machine: no program or process is needed.
    bool systemWide() const;
  };

  // What a program that ends before its first sample is told, whatever
  // the moment it was caught ending.
  static const char* const ExitedBeforeASample;

  std::string name() const override { return "record"; }
  std::string summary() const override { return "record a session of a program or of a running process"; }
  Arguments arguments() const override;

  // Reads and checks the settings; throws UsageError naming the
  // argument at fault.
  static Settings settingsFrom(const Arguments& arguments);
  // The session configuration the settings describe.
  static std::shared_ptr<QVSessionConfig> configFor(const Settings& settings);

  // Rates of a finished recording: how many stacks a second were asked for
  // (one per thread per interval) and how many were taken.
  struct Rate {
    double askedPerSecond = 0.0;
    double takenPerSecond = 0.0;
    bool fellBehind = false;  // taken is under 90% of asked
  };
  static Rate rateOf(const QVSessionProfile& profile, double interval, double durationSeconds);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;

 private:
  int _record(const Settings& settings, std::ostream& out, std::ostream& err);
  // Each throws QVException with a one-line reason.
  static void _checkOutputWritable(const std::string& path);
  static void _checkAttachable(pid_t pid);
  // Runs the main loop until the recording ends by itself, a stop signal
  // arrives or the launched program exits (the result: whether it did);
  // the recorder is stopped on return.
  static bool _waitForEnd(Recording& recording, StopSignal& signals, const CommandLauncher* launcher,
                          std::ostream& err);
  static void _noteSettings(QVSessionProfile& profile, const Settings& settings, pid_t pid,
                            const std::string& stopReason);
};

}  // namespace qvprof
}  // namespace Quorvel
