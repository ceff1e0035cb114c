#pragma once

#include <memory>
#include <vector>
#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"

namespace Quorvel {

class QVModule;
class QVSourceFile;
class QVSymbol;
class QVSystem;

namespace test {

// The symbol part of a session file: "SourceFiles" of "SourceFile",
// "Symbols" of "Symbol", "Modules" of "Module", "Systems" of "System", each
// for every object of that kind registered when encoded. Decoding creates
// the objects and registers them after each list, as a session file does.
class SymbolRegistryDocument : public QVArchivable, public QVUnarchivable {
 public:
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // What encoding writes: set these before encoding.
  std::vector<std::shared_ptr<QVSourceFile>> sourceFiles;
  std::vector<std::shared_ptr<QVSymbol>> symbols;
  std::vector<std::shared_ptr<QVModule>> modules;
  std::vector<std::shared_ptr<QVSystem>> systems;
};

}  // namespace test
}  // namespace Quorvel
