#include <benchmark/benchmark.h>

#include <memory>

#include "ids/QVProcessId.h"
#include "ids/QVSystemId.h"
#include "Linux/kernel/QVKernelModuleLinux.h"
#include "Linux/kernel/QVProcessLinuxKernel.h"
#include "symbols/QVModule.h"
#include "symbols/QVSymbol.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"

using namespace Quorvel;

namespace {

// What a recording pays before its first kernel sample can be resolved:
// the kernel process of this machine read from /proc/modules and
// /proc/kallsyms. The target is under 300 ms.
void BM_KernelProcessLoadNow(benchmark::State& state) {
  if (!FileCanRead("/proc/kallsyms")) {
    state.SkipWithError("/proc/kallsyms is not readable here");
    return;
  }
  const QVProcessId processId =
      QVProcessId::uniqueProcessId(QVSystemId::currentSystemId(), 0, LocalMachineBootTime());
  size_t symbols = 0;
  for (auto _ : state) {
    auto kernel = std::make_unique<QVProcessLinuxKernel>(processId, "vmlinux", "vmlinux", true);
    symbols = kernel->kernelImage()->symbolCount();
    state.PauseTiming();
    // Each construction registers the image module under the same id.
    kernel.reset();
    QVModule::flushRegisteredModules();
    QVSymbol::flushRegisteredSymbols();
    state.ResumeTiming();
  }
  state.counters["image_symbols"] = static_cast<double>(symbols);
}
BENCHMARK(BM_KernelProcessLoadNow)->Unit(benchmark::kMillisecond);

}  // namespace
