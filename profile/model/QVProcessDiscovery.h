#pragma once

#include <memory>

#include "ids/QVProcessId.h"

namespace Quorvel {

class QVProcess;

// Where the process model learns about the processes and threads of the
// running machine. The platform layer installs its implementation when it
// is loaded; until then the installed discovery finds nothing, so the model
// works purely on what is registered or decoded from session files.
//
// Implementations create and register QVProcess / QVThread objects through
// the registries, which they may re-enter from the calling thread (the
// registry locks are recursive).
class QVProcessDiscovery {
 public:
  virtual ~QVProcessDiscovery() = default;

  // Registers every live process not yet known.
  virtual void updateProcessList(bool loadSectionMaps) = 0;
  // The id of the live process with this pid, registered if new; the
  // invalid id when there is none.
  virtual QVProcessId updateProcessList(int pid, bool loadSectionMaps) = 0;
  // Registers every live thread (and its process) not yet known.
  virtual void updateThreadList(bool loadSectionMaps) = 0;
  virtual void updateThreadListForProcess(const QVProcessId& processId, bool loadSectionMaps) = 0;
  // The running kernel as a process; null when the platform has none.
  virtual std::shared_ptr<QVProcess> currentKernelProcess(bool loadNow) = 0;

  // The installed discovery; never null.
  static std::shared_ptr<QVProcessDiscovery> installed();
  // Installs a discovery; null restores the one that finds nothing.
  static void install(std::shared_ptr<QVProcessDiscovery> discovery);
};

}  // namespace Quorvel
