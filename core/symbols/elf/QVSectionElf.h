#pragma once

#include <memory>

#include "symbols/QVSection.h"

namespace Quorvel {

class QVModuleElfReader;

// A section of an ELF module. Its symbols come from the module's symbol
// table, read and placed the first time a lookup asks for loading.
class QVSectionElf : public QVSection {
 public:
  QVSectionElf(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
               const QVRange<unsigned long>& addressRange, const QVRange<long>& fileRange,
               std::shared_ptr<QVModuleElfReader> reader);
  ~QVSectionElf() override;

 protected:
  void _loadDefinedSymbols() override;

 private:
  std::shared_ptr<QVModuleElfReader> reader_;
};

}  // namespace Quorvel
