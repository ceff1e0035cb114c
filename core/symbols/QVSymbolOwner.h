#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quorvel {

class QVPropertyMap;
class QVSymbol;
class QVSymbolSourceMap;

// One relocation that applies inside a symbol's code or data.
struct QVSymbolRelocation {
  int offset = 0;         // from the symbol's start
  uint32_t type = 0;      // the image format's relocation type (R_X86_64_*)
  std::string target;     // the symbol the relocation refers to; empty for none
  int64_t addend = 0;
};

// What knows more about a symbol than the symbol carries itself: the module
// it was read from. Symbols ask their owner the first time someone needs
// these facts, so that nothing of the kind is read while modules load.
// Every operation clears its output first; a symbol the owner cannot
// answer for gives false (or an empty result).
class QVSymbolOwner {
 public:
  virtual ~QVSymbolOwner();

  // The symbol's bytes as the image holds them (empty for code that
  // occupies no file space).
  virtual bool getDataForSymbol(const QVSymbol& symbol, std::vector<unsigned char>& data) const = 0;
  virtual bool getSourceLocationsForSymbol(const QVSymbol& symbol, QVSymbolSourceMap& locations) const = 0;
  virtual bool haveSourceLocationInfoForSymbol(const QVSymbol& symbol) const = 0;
  virtual bool getRelocationEntriesForSymbol(const QVSymbol& symbol,
                                             std::vector<QVSymbolRelocation>& entries) const = 0;
  virtual bool haveRelocationEntriesForSymbol(const QVSymbol& symbol) const = 0;
  virtual bool getPropertiesForSymbol(const QVSymbol& symbol, QVPropertyMap& properties) const = 0;
};

}  // namespace Quorvel
