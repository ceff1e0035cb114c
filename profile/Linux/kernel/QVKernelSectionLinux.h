#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Linux/kernel/QVKernelModuleLinux.h"
#include "symbols/QVSection.h"

namespace Quorvel {

// The one code section of a kernel module. Its symbols belong to the module
// (they are read from kallsyms for the whole module); the section answers
// from the module's symbols and keeps what it has been asked for in its own
// map, so that repeated lookups of hot kernel functions stay in the section.
//
// The section refers to its module through the module's symbol table, which
// the two share: the module owns its section, and a section kept by a call
// frame after the module is gone must still answer.
class QVKernelSectionLinux : public QVSection {
 public:
  QVKernelSectionLinux(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
                       const QVRange<unsigned long>& addressRange, const QVRange<long>& fileRange,
                       std::shared_ptr<const QVKernelModuleLinux::SymbolTable> moduleSymbols);
  ~QVKernelSectionLinux() override;

  // The section's own map first, then the module's symbols; a symbol found
  // there is entered into the section's map. `load` is not needed: the
  // module already holds every symbol there is.
  const std::shared_ptr<QVSymbol>& symbolAtSectionOffset(int offset, QVRange<int>& range, bool load) override;

 protected:
  // Copies every symbol of the module, each as the symbol registry knows it
  // (registering the ones it does not know yet).
  void _loadDefinedSymbols() override;

 private:
  std::shared_ptr<const QVKernelModuleLinux::SymbolTable> moduleSymbols_;
  std::mutex missLock_;
};

}  // namespace Quorvel
