#pragma once

#include <atomic>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "archive/QVUnarchivable.h"
#include "archive/QVUniqueArchivable.h"
#include "ranges/QVRange.h"
#include "ranges/QVRangeMap.h"
#include "symbols/QVSectionId.h"

namespace Quorvel {

class QVSymbol;

// A contiguous part of a module, with the symbols that lie in it by offset
// from the section's start. The symbols are not read when the section is
// made: the first lookup that asks for loading calls _loadDefinedSymbols()
// once.
//
// Lookups may run from several threads. The reference a lookup returns
// stays valid until the symbols of that range are replaced; sections read
// from a module or a file change them only while loading.
//
// Archive keys, in order: "SectionId" (object, shared), "Name" (string),
// "Attributes" ("0x%llx"), "AddressRange" (object, QVRange<unsigned long>),
// "FileRange" (object, QVRange<long>). Symbols are not written with the
// section: a decoded section finds its symbols in the symbol registry.
class QVSection : public QVUniqueArchivable, public QVUnarchivable {
 public:
  // Attribute bits.
  static constexpr unsigned kAttributeExecutable = 0x1;
  static constexpr unsigned kAttributeAllocated = 0x2;
  static constexpr unsigned kAttributeWritable = 0x4;
  static constexpr unsigned kAttributeFileBacked = 0x8;

  QVSection();  // for decoding
  QVSection(const QVSectionId& sectionId, const std::string& name, unsigned attributes,
            const QVRange<unsigned long>& addressRange, const QVRange<long>& fileRange);
  QVSection(const QVSection&) = delete;
  QVSection& operator=(const QVSection&) = delete;
  ~QVSection() override;

  const QVSectionId& sectionId() const { return sectionId_; }
  const std::string& name() const { return name_; }
  unsigned attributes() const { return attributes_; }
  bool isExecutable() const { return (attributes_ & kAttributeExecutable) != 0; }
  // The link-time addresses (the module's addresses before any load bias).
  const QVRange<unsigned long>& addressRange() const { return addressRange_; }
  const QVRange<long>& fileRange() const { return fileRange_; }

  // The symbol whose range holds the offset (from the section start), with
  // that range; with `load`, the section's symbols are loaded first if they
  // were not. Nothing found: an empty pointer and range 0/0.
  virtual const std::shared_ptr<QVSymbol>& symbolAtSectionOffset(int offset, QVRange<int>& range, bool load);

  // Places a symbol; a later symbol wins where ranges overlap.
  void setSymbolForRange(const std::shared_ptr<QVSymbol>& symbol, const QVRange<int>& range);
  // Every placed symbol once, in offset order of its first range; with
  // `load`, after loading.
  void getSymbols(std::vector<std::shared_ptr<QVSymbol>>& symbols, bool load);
  // Whether _loadDefinedSymbols() has run.
  bool symbolsLoaded() const;

  // "<name> <address range> attributes 0x<bits>".
  void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 protected:
  // Fills the symbol map; called once, by the first loading lookup. The
  // base takes the registered symbols of this section id, each at its own
  // section range: what a section decoded from a session file has.
  virtual void _loadDefinedSymbols();
  void _ensureSymbolsLoaded();

 private:
  QVSectionId sectionId_;
  std::string name_;
  unsigned attributes_ = 0;
  QVRange<unsigned long> addressRange_;
  QVRange<long> fileRange_;

  std::once_flag loadOnce_;
  std::atomic<bool> loaded_{false};
  // Readers share the map; placing symbols takes it alone.
  mutable std::shared_mutex symbolsMutex_;
  QVRangeMap<int, std::shared_ptr<QVSymbol>> symbols_;
};

std::ostream& operator<<(std::ostream& os, const QVSection& section);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSection>& section);

}  // namespace Quorvel
