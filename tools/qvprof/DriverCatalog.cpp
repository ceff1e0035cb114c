#include "DriverCatalog.h"

#include <unistd.h>

#include <cstdlib>

#include "drivers/QVProfileDriver.h"
#include "Linux/perf/QVProfileDriverLinuxPerf.h"
#include "PerfRecording.h"
#include "Recording.h"
#include "system/QVFileUtils.h"

namespace Quorvel {
namespace qvprof {

const char* const DriverCatalog::ProcessDriver = "process";

std::vector<DriverCatalog::Entry> DriverCatalog::entries() {
  std::vector<Entry> entries;
  Entry process;
  process.name = ProcessDriver;
  process.description = "samples one target process: stops its threads on a timer and unwinds them through ptrace";
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  processEnvironment(errors, warnings);
  process.available = errors.empty();
  process.canRecord = true;
  entries.push_back(process);

  for (const std::shared_ptr<QVProfileDriver>& driver : QVProfileDriver::availableDrivers()) {
    if (!driver) continue;
    Entry entry;
    entry.name = driver->name();
    entry.identifier = driver->identifier();
    entry.available = driver->isAvailable();
    entry.description = entry.available ? "kernel back-end " + driver->identifier()
                                        : "no kernel back-end is available (" + driver->identifier() + ")";
    entry.canRecord = Recording::canRecordWith(entry.name);
    if (auto perf = std::dynamic_pointer_cast<QVProfileDriverLinuxPerf>(driver)) {
      entry.description = "samples the whole machine through " + PerfRecording::summary(*perf);
    }
    entry.driver = driver;
    entries.push_back(entry);
  }
  return entries;
}

std::vector<std::string> DriverCatalog::recordingDrivers() {
  std::vector<std::string> names;
  for (const Entry& entry : entries()) {
    if (entry.available && entry.canRecord) names.push_back(entry.name);
  }
  return names;
}

std::string DriverCatalog::defaultRecordingDriver() {
  // A kernel back-end that can record beats sampling through ptrace, which
  // stops the target at every tick.
  // perf records the whole machine rather than the program asked for, so
  // it is chosen by name.
  for (const std::string& name : recordingDrivers()) {
    if (name != ProcessDriver && name != PerfRecording::DriverName) return name;
  }
  // Named even when the environment rules it out, so that the error the
  // user sees is about ptrace rather than about a missing driver.
  return ProcessDriver;
}

int DriverCatalog::ptraceScope() {
  std::string text;
  if (!FileReadString("/proc/sys/kernel/yama/ptrace_scope", text) || text.empty()) return -1;
  return std::atoi(text.c_str());
}

void DriverCatalog::processEnvironment(std::vector<std::string>& errors, std::vector<std::string>& warnings) {
  const int scope = ptraceScope();
  // Root stands in for CAP_SYS_PTRACE; finer capability sets are left to
  // the kernel's answer at attach time.
  const bool privileged = geteuid() == 0;
  if (scope >= 3) {
    errors.push_back("ptrace attach is disabled on this machine (kernel.yama.ptrace_scope = 3); "
                     "no process can be profiled until the next boot.");
  } else if (scope == 2 && !privileged) {
    errors.push_back("only root may trace processes here (kernel.yama.ptrace_scope = 2).");
  } else if (scope == 1 && !privileged) {
    warnings.push_back("ptrace is limited to descendants (kernel.yama.ptrace_scope = 1): 'qvprof record -- "
                       "COMMAND' works, 'qvprof record --pid' needs root or a target that allows it.");
  }
}

}  // namespace qvprof
}  // namespace Quorvel
