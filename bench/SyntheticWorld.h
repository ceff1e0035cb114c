#pragma once

// A machine of its own for benchmarks (so nothing of the real one is looked
// up), with one process of `threads` threads whose code is one module
// holding every function SyntheticStacks calls: 64k functions of 0x40 bytes
// from 0x400000, named "function_N".

#include <memory>
#include <string>
#include <vector>

#include "ids/QVContext.h"
#include "model/QVProcess.h"
#include "model/QVThread.h"
#include "symbols/QVModule.h"
#include "symbols/QVSection.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSystem.h"
#include "system/QVMachine.h"

namespace Quorvel {
namespace bench {

constexpr uint64_t kCodeStart = 0x400000;
constexpr uint64_t kFunctionBytes = 0x40;
constexpr int kFunctionCount = 65536;

struct SyntheticWorld {
  QVSystemId systemId;
  QVProcessId processId;
  std::vector<QVContext> contexts;  // per thread
};

// `name` keeps the systems of different benchmarks apart.
inline SyntheticWorld BuildWorld(const std::string& name, int threads) {
  SyntheticWorld world;
  world.systemId = QVSystemId::uniqueSystemId(name, "bench");
  QVSystem::registerSystem(std::make_shared<QVSystem>(world.systemId, "bench", LocalMachineArchitecture(),
                                                      LocalMachineProcessorType(), threads, "6.1.0"));
  world.processId = QVProcessId::uniqueProcessId(world.systemId, 4242, 1);
  auto process = std::make_shared<QVProcess>(world.processId, "synthetic", "/opt/synthetic/bin/app");
  QVProcess::registerProcess(process);
  for (int t = 0; t < threads; ++t) {
    const QVThreadId threadId = QVThreadId::uniqueThreadId(world.processId, 4242 + t, 1);
    QVThread::registerThread(std::make_shared<QVThread>(threadId));
    world.contexts.push_back(QVContext::uniqueContext(threadId, t % 4, QVContext::StateUser));
  }

  const std::string path = "/opt/synthetic/bin/app";
  const QVModuleId moduleId = QVModuleId::uniqueModuleId(QVFileId::uniqueFileId(path), LocalMachineArchitecture());
  const QVSectionId sectionId = QVSectionId::uniqueSectionId(moduleId, 1);
  const uint64_t length = kFunctionBytes * kFunctionCount;
  auto section = std::make_shared<QVSection>(sectionId, ".text",
                                             QVSection::kAttributeExecutable | QVSection::kAttributeAllocated,
                                             QVRange<unsigned long>(kCodeStart, length),
                                             QVRange<long>(0, static_cast<long>(length)));
  for (int f = 0; f < kFunctionCount; ++f) {
    auto symbol = std::make_shared<QVSymbol>(QVSymbolId::uniqueSymbolId(sectionId, f), "function_" + std::to_string(f),
                                             QVSymbol::TypeCode, QVSymbol::VisibilityGlobal,
                                             LocalMachineArchitecture());
    const QVRange<int> range(static_cast<int>(f * kFunctionBytes), static_cast<int>(kFunctionBytes));
    symbol->setSectionRange(range);
    QVSymbol::registerSymbol(symbol);
    section->setSymbolForRange(symbol, range);
  }
  auto module = std::make_shared<QVModule>(moduleId, path, 0, "app");
  module->setSections({section});
  QVModule::registerModule(module);
  process->setSectionAtAddressRange(section, QVRange<unsigned long>(kCodeStart, length));
  return world;
}

inline void FlushRegistries() {
  QVThread::flushRegisteredThreads();
  QVProcess::flushRegisteredProcesses();
  QVModule::flushRegisteredModules();
  QVSymbol::flushRegisteredSymbols();
  QVSourceFile::flushRegisteredSourceFiles();
  QVSystem::flushRegisteredSystems();
}

}  // namespace bench
}  // namespace Quorvel
