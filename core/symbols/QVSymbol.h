#pragma once

#include <atomic>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "data/QVPropertyMap.h"
#include "ids/QVFileId.h"
#include "ranges/QVRange.h"
#include "symbols/QVSymbolId.h"
#include "symbols/QVSymbolOwner.h"
#include "symbols/QVSymbolSourceMap.h"
#include "system/QVMachine.h"

namespace Quorvel {

// A named piece of a section: a function, an object or a label. Its place
// is a range of offsets within its section, set by whoever places it there.
//
// Line information is not carried from the start: the first question about
// lines asks the symbol's owner (normally the module it was read from) and
// keeps the answer. A symbol decoded from a session file carries its lines
// itself and needs no owner.
//
// Registered symbols are shared between threads: every accessor is safe to
// call concurrently; the setters are meant for the code that creates the
// symbol, before it is shared.
//
// Archive keys, in order: "SymbolId" (object, shared), "Name" (string),
// "Type", "Visibility" ("%lld"), "Arch" (string, the architecture's name),
// "Offset", "Size" ("%lld", the section range), "Properties" (object),
// "SourceLocations" (object, see QVSymbolSourceMap). Encoding loads the
// line information first, so that the document holds it.
class QVSymbol : public QVArchivable, public QVUnarchivable {
 public:
  enum Type : int { TypeUnknown = 0, TypeCode = 1, TypeData = 2, TypeLabel = 3 };
  enum Visibility : int { VisibilityLocal = 0, VisibilityGlobal = 1, VisibilityWeak = 2 };

  QVSymbol();  // for decoding
  QVSymbol(const QVSymbolId& symbolId, const std::string& name, Type type, Visibility visibility,
           QVArchitecture architecture);
  QVSymbol(const QVSymbol&) = delete;
  QVSymbol& operator=(const QVSymbol&) = delete;
  ~QVSymbol() override;

  const QVSymbolId& symbolId() const { return symbolId_; }
  const std::string& name() const { return name_; }
  // The name as people read it; the raw name when it does not demangle.
  // Computed on first use.
  const std::string& demangledName() const;
  Type type() const { return type_; }
  Visibility visibility() const { return visibility_; }
  QVArchitecture architecture() const { return architecture_; }

  void setSectionRange(const QVRange<int>& range) { sectionRange_ = range; }
  const QVRange<int>& sectionRange() const { return sectionRange_; }
  int offset() const { return sectionRange_.location; }
  int size() const { return sectionRange_.length; }

  const QVPropertyMap& properties() const { return properties_; }
  QVPropertyMap& mutableProperties() { return properties_; }

  // The owner is held weakly: owners keep their symbols, and a symbol that
  // outlives its owner answers from what it already has.
  void setOwner(const std::weak_ptr<const QVSymbolOwner>& owner);
  std::shared_ptr<const QVSymbolOwner> owner() const;

  // The per-file tables (offset within the symbol -> line, and line ->
  // offset), loaded through the owner on first use.
  const QVSymbolSourceMap& sourceLocations() const;
  // The first file whose table holds the offset, and the line there.
  bool sourceLineForOffset(int offset, QVFileId& file, int& line) const;
  bool haveSourceLocationInfo() const;

  // Asked of the owner every time; false without one.
  bool getData(std::vector<unsigned char>& data) const;
  bool getRelocationEntries(std::vector<QVSymbolRelocation>& entries) const;
  bool haveRelocationEntries() const;

  // For call-frame descriptions: A is the visibility word ("local",
  // "global", "weak"), B the type word ("unknown", "code", "data", "label").
  void printAttributeA(std::ostream& os) const;
  void printAttributeB(std::ostream& os) const;
  static const char* visibilityWord(Visibility visibility);
  static const char* typeWord(Type type);

  // "<name> [<offset>+<size>]".
  void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // Registry. A symbol with an invalid id raises QVException "invalid
  // symbol id"; another object under a registered id raises "duplicate
  // symbol id: " + id. Registering the same object again does nothing.
  static void registerSymbol(const std::shared_ptr<QVSymbol>& symbol);
  // The registered symbol, or a reference to an empty pointer. The
  // reference stays valid until the registry is flushed.
  static const std::shared_ptr<QVSymbol>& symbolWithId(const QVSymbolId& symbolId);
  // The registered symbols of one section, in the order registered.
  static void getRegisteredSymbolsForSection(const QVSectionId& sectionId,
                                             std::vector<std::shared_ptr<QVSymbol>>& symbols);
  static void flushRegisteredSymbols();

 private:
  void _loadSourceLocations() const;

  QVSymbolId symbolId_;
  std::string name_;
  Type type_ = TypeUnknown;
  Visibility visibility_ = VisibilityLocal;
  QVArchitecture architecture_ = QVArchitectureUnknown;
  QVRange<int> sectionRange_;
  QVPropertyMap properties_;

  mutable std::once_flag demangleOnce_;
  mutable std::string demangledName_;

  mutable std::mutex ownerMutex_;
  std::weak_ptr<const QVSymbolOwner> owner_;
  // Set once the tables hold what there is to know; they are not changed
  // afterwards, so readers need no lock past this flag.
  mutable std::atomic<bool> sourceLoaded_{false};
  mutable QVSymbolSourceMap sourceLocations_;
};

std::ostream& operator<<(std::ostream& os, const QVSymbol& symbol);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSymbol>& symbol);

}  // namespace Quorvel
