#include "support/SymbolFixtures.h"

#include <unistd.h>

#include <vector>

#include "QVArchiver.h"
#include "QVModule.h"
#include "QVSourceFile.h"
#include "QVSymbol.h"
#include "QVSystem.h"
#include "QVUnarchiver.h"

namespace Quorvel {
namespace test {

std::string ProbePath(const std::string& name) {
#ifdef QV_PROBE_DIR
  return std::string(QV_PROBE_DIR) + "/" + name;
#else
  return std::string(QV_TEST_BINARY_DIR) + "/programs/" + name;
#endif
}

std::string ProbeSourcePath() {
  // From the configured source tree, not __FILE__: build caches compile with
  // relative paths, which would tie the answer to the working directory.
  const std::string data = QV_TEST_DATA_DIR;
  return data.substr(0, data.rfind('/')) + "/programs/SymbolProbe.cpp";
}

bool ProbesAvailable() {
  return ::access(ProbePath("symbol_probe_g_fp").c_str(), R_OK) == 0 &&
         ::access(ProbePath("symbol_probe_stripped").c_str(), R_OK) == 0 &&
         ::access(ProbePath("symbol_probe_stripped.debug").c_str(), R_OK) == 0;
}

void FlushSymbolRegistries() {
  QVModule::flushRegisteredModules();
  QVSymbol::flushRegisteredSymbols();
  QVSourceFile::flushRegisteredSourceFiles();
  QVSystem::flushRegisteredSystems();
}

namespace {

template <class T>
void EncodeList(QVArchiver* archiver, const char* list, const char* element,
                const std::vector<std::shared_ptr<T>>& objects) {
  archiver->beginList(list);
  for (const std::shared_ptr<T>& object : objects) {
    archiver->encodeObject(*object, element);
  }
  archiver->endList(list);
}

template <class T>
std::vector<std::shared_ptr<T>> DecodeList(QVUnarchiver* unarchiver, const char* list, const char* element) {
  std::vector<std::shared_ptr<T>> objects;
  unarchiver->enterElement(list);
  while (unarchiver->hasValueForKey(element)) {
    std::shared_ptr<T> object;
    unarchiver->decodeObjectForKey(element, object);
    objects.push_back(object);
  }
  unarchiver->leaveElement(list);
  return objects;
}

}  // namespace

void SymbolRegistryDocument::encodeWithArchiver(QVArchiver* archiver) const {
  EncodeList(archiver, "SourceFiles", "SourceFile", sourceFiles);
  EncodeList(archiver, "Symbols", "Symbol", symbols);
  EncodeList(archiver, "Modules", "Module", modules);
  EncodeList(archiver, "Systems", "System", systems);
}

void SymbolRegistryDocument::decodeWithUnarchiver(QVUnarchiver* unarchiver) {
  sourceFiles = DecodeList<QVSourceFile>(unarchiver, "SourceFiles", "SourceFile");
  for (const auto& file : sourceFiles) {
    QVSourceFile::registerSourceFile(file);
  }
  symbols = DecodeList<QVSymbol>(unarchiver, "Symbols", "Symbol");
  for (const auto& symbol : symbols) {
    QVSymbol::registerSymbol(symbol);
  }
  modules = DecodeList<QVModule>(unarchiver, "Modules", "Module");
  for (const auto& module : modules) {
    QVModule::registerModule(module);
  }
  systems = DecodeList<QVSystem>(unarchiver, "Systems", "System");
  for (const auto& system : systems) {
    QVSystem::registerSystem(system);
  }
}

}  // namespace test
}  // namespace Quorvel
