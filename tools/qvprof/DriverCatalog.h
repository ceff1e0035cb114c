#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Quorvel {

class QVProfileDriver;

namespace qvprof {

// The profile drivers qvprof can name: the target-process sampler
// ("process", ptrace and remote unwinding, always present) and the kernel
// back-ends the library registers. Only drivers with a recorder that
// qvprof knows how to run can be chosen for recording.
class DriverCatalog {
 public:
  static const char* const ProcessDriver;  // "process"

  struct Entry {
    std::string name;        // what --driver takes
    std::string identifier;  // the library's dotted identifier, "" for process
    std::string description;
    bool available = false;
    bool canRecord = false;  // qvprof record can use it
    std::shared_ptr<QVProfileDriver> driver;  // null for process
  };

  // The process driver first, then the library's drivers in its order.
  static std::vector<Entry> entries();
  // Names of the available drivers qvprof record can use.
  static std::vector<std::string> recordingDrivers();
  // The best available one of those.
  static std::string defaultRecordingDriver();

  // What stands in the way of tracing other processes here (the kernel's
  // ptrace restrictions, as they apply to the effective user). Each string
  // is one message; errors mean recording cannot work at all, warnings that
  // only --pid is affected.
  static void processEnvironment(std::vector<std::string>& errors, std::vector<std::string>& warnings);
  // The kernel's ptrace_scope setting (Yama), -1 when the kernel has none.
  static int ptraceScope();
};

}  // namespace qvprof
}  // namespace Quorvel
