#include "support/SymbolFixtures.h"

#include <vector>

#include "archive/QVArchiver.h"
#include "archive/QVUnarchiver.h"
#include "symbols/QVModule.h"
#include "symbols/QVSourceFile.h"
#include "symbols/QVSymbol.h"
#include "symbols/QVSystem.h"

namespace Quorvel {
namespace test {

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
