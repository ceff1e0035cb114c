#include "model/QVProcessDiscovery.h"

#include <mutex>
#include <utility>

#include "model/QVProcess.h"

namespace Quorvel {

namespace {

// What a machine without a platform layer looks like: nothing is running,
// so lookups fall back to the registries alone.
class QVNoProcessDiscovery : public QVProcessDiscovery {
 public:
  void updateProcessList(bool) override {}
  QVProcessId updateProcessList(int, bool) override { return QVProcessId::invalid(); }
  void updateThreadList(bool) override {}
  void updateThreadListForProcess(const QVProcessId&, bool) override {}
  std::shared_ptr<QVProcess> currentKernelProcess(bool) override { return nullptr; }
};

struct InstalledDiscovery {
  std::mutex mutex;
  std::shared_ptr<QVProcessDiscovery> discovery = std::make_shared<QVNoProcessDiscovery>();
};

// Function-local so that a platform layer installing itself from a static
// initialiser of another library finds it constructed.
InstalledDiscovery& Installed() {
  static InstalledDiscovery installed;
  return installed;
}

}  // namespace

std::shared_ptr<QVProcessDiscovery> QVProcessDiscovery::installed() {
  InstalledDiscovery& state = Installed();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.discovery;
}

void QVProcessDiscovery::install(std::shared_ptr<QVProcessDiscovery> discovery) {
  if (!discovery) {
    discovery = std::make_shared<QVNoProcessDiscovery>();
  }
  InstalledDiscovery& state = Installed();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.discovery = std::move(discovery);
}

}  // namespace Quorvel
