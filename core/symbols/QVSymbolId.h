#pragma once

#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "symbols/QVModuleId.h"
#include "symbols/QVSectionId.h"

namespace Quorvel {

// A symbol of a section, by an index its owner chooses (the position in
// the ELF symbol table, or the offset for kernel symbols). Interned.
// Ordered by section, then index.
//
// Archive keys: "SectionId" (object, shared), "Index" ("%lld").
class QVSymbolId : public QVInternedId<QVSymbolId, QVSectionId, int> {
 public:
  static constexpr const char* kKeys[] = {"SectionId", "Index"};
  static constexpr const char* kInvalidText = "invalid symbol id";

  QVSymbolId() = default;  // invalid

  static QVSymbolId uniqueSymbolId(const QVSectionId& sectionId, int index) { return _intern(sectionId, index); }
  static QVSymbolId invalidSymbolId() { return QVSymbolId(); }

  // The invalid ids for the invalid id.
  QVSectionId asSectionId() const { return isValid() ? _field<0>() : QVSectionId(); }
  QVModuleId asModuleId() const { return asSectionId().asModuleId(); }
  // -1 for the invalid id.
  int index() const { return isValid() ? _field<1>() : -1; }

 private:
  friend QVInternedId;
  // "<section id> symbol <index>".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSymbolId> : Quorvel::QVInternedIdHash {};
