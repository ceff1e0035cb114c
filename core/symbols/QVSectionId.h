#pragma once

#include <functional>
#include <iosfwd>

#include "ids/QVInternedId.h"
#include "symbols/QVModuleId.h"

namespace Quorvel {

// A section of a module, by its index in the module (the section header
// index for ELF images). Interned. Ordered by module, then index.
//
// Archive keys: "ModuleId" (object, shared), "Index" ("%lld").
class QVSectionId : public QVInternedId<QVSectionId, QVModuleId, int> {
 public:
  static constexpr const char* kKeys[] = {"ModuleId", "Index"};
  static constexpr const char* kInvalidText = "invalid section id";

  QVSectionId() = default;  // invalid

  static QVSectionId uniqueSectionId(const QVModuleId& moduleId, int index) { return _intern(moduleId, index); }
  static QVSectionId invalidSectionId() { return QVSectionId(); }

  // The invalid module id for the invalid id.
  QVModuleId asModuleId() const { return isValid() ? _field<0>() : QVModuleId(); }
  // -1 for the invalid id.
  int index() const { return isValid() ? _field<1>() : -1; }

 private:
  friend QVInternedId;
  // "<module id> section <index>".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSectionId> : Quorvel::QVInternedIdHash {};
