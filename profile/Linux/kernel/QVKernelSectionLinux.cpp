#include "Linux/kernel/QVKernelSectionLinux.h"

#include <mutex>
#include <utility>
#include <vector>

#include "symbols/QVSymbol.h"

namespace Quorvel {

QVKernelSectionLinux::QVKernelSectionLinux(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
                                           const QVRange<unsigned long>& addressRange,
                                           const QVRange<long>& fileRange,
                                           std::shared_ptr<const QVKernelModuleLinux::SymbolTable> moduleSymbols)
    : QVSection(sectionId, name, attributes, addressRange, fileRange), moduleSymbols_(std::move(moduleSymbols)) {}

QVKernelSectionLinux::~QVKernelSectionLinux() = default;

const std::shared_ptr<QVSymbol>& QVKernelSectionLinux::symbolAtSectionOffset(int offset, QVRange<int>& range,
                                                                             bool /*load*/) {
  const std::shared_ptr<QVSymbol>& cached = QVSection::symbolAtSectionOffset(offset, range, false);
  if (cached || !moduleSymbols_) {
    return cached;
  }
  // Entering a range that another thread has just entered would replace
  // the node its caller holds a reference into; misses are entered one at a
  // time, each after looking again.
  std::lock_guard<std::mutex> missLock(missLock_);
  const std::shared_ptr<QVSymbol>& entered = QVSection::symbolAtSectionOffset(offset, range, false);
  if (entered) {
    return entered;
  }
  std::shared_ptr<QVSymbol> symbol;
  QVRange<int> symbolRange;
  {
    std::shared_lock<std::shared_mutex> lock(moduleSymbols_->lock);
    symbol = moduleSymbols_->map.valueAndRangeForLocation(offset, symbolRange, true);
  }
  if (!symbol) {
    range = QVRange<int>(0, 0);
    return QVRangeMap<int, std::shared_ptr<QVSymbol>>::EmptyValue();
  }
  // The section's symbols are the registered ones, as for a section read
  // from a session file; the first lookup of a symbol registers it.
  if (const std::shared_ptr<QVSymbol>& registered = QVSymbol::symbolWithId(symbol->symbolId())) {
    symbol = registered;
  } else {
    QVSymbol::registerSymbol(symbol);
  }
  setSymbolForRange(symbol, symbolRange);
  // The reference handed out must point into the section's map, which
  // keeps the symbol alive.
  return QVSection::symbolAtSectionOffset(offset, range, false);
}

void QVKernelSectionLinux::_loadDefinedSymbols() {
  if (!moduleSymbols_) {
    return;
  }
  std::vector<std::pair<QVRange<int>, std::shared_ptr<QVSymbol>>> symbols;
  {
    std::shared_lock<std::shared_mutex> lock(moduleSymbols_->lock);
    moduleSymbols_->map.tree().forEachInOrder(
        [&symbols](const auto* node) { symbols.emplace_back(node->key, node->value); });
  }
  std::lock_guard<std::mutex> missLock(missLock_);
  for (const auto& entry : symbols) {
    std::shared_ptr<QVSymbol> symbol = QVSymbol::symbolWithId(entry.second->symbolId());
    if (!symbol) {
      symbol = entry.second;
      QVSymbol::registerSymbol(symbol);
    }
    QVRange<int> cachedRange;
    // Entered by a lookup already, and possibly referenced by its caller.
    if (!QVSection::symbolAtSectionOffset(entry.first.location, cachedRange, false)) {
      setSymbolForRange(symbol, entry.first);
    }
  }
}

}  // namespace Quorvel
