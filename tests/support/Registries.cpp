#include "support/Registries.h"

#include "model/QVProcess.h"
#include "model/QVProcessDiscovery.h"
#include "model/QVThread.h"
#include "symbols/QVModule.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSystem.h"

namespace Quorvel {
namespace test {

void FlushRegistries() {
  QVThread::flushRegisteredThreads();
  QVProcess::flushRegisteredProcesses();
  QVModule::flushRegisteredModules();
  QVSymbol::flushRegisteredSymbols();
  QVSourceFile::flushRegisteredSourceFiles();
  QVSystem::flushRegisteredSystems();
}

void ModelTest::SetUp() {
  platform_ = QVProcessDiscovery::installed();
  QVProcessDiscovery::install(nullptr);
  RegistryTest::SetUp();
}

void ModelTest::TearDown() {
  RegistryTest::TearDown();
  QVProcessDiscovery::install(platform_);
}

}  // namespace test
}  // namespace Quorvel
