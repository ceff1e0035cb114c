#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVModuleId.h"

namespace Quorvel {

struct QVSectionIdRecord;

// A section of a module, by its index in the module (the section header
// index for ELF images). Interned.
//
// Archive keys: "ModuleId" (object, shared), "Index" ("%lld"). An invalid
// id is an element without keys.
class QVSectionId : public QVInternedId<QVSectionIdRecord> {
 public:
  QVSectionId() = default;  // invalid

  static QVSectionId uniqueSectionId(const QVModuleId& moduleId, int index);
  static QVSectionId invalid() { return QVSectionId(); }
  static QVSectionId invalidSectionId() { return QVSectionId(); }

  // The invalid module id for the invalid id.
  QVModuleId asModuleId() const;
  // -1 for the invalid id.
  int index() const;

  bool operator==(const QVSectionId& other) const { return record_ == other.record_; }
  bool operator!=(const QVSectionId& other) const { return record_ != other.record_; }
  // By module, then index; the invalid id first.
  bool operator<(const QVSectionId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVSectionId(const QVSectionIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVSectionId& id) { return id.hash(); }
// "<module id> section <index>", or "invalid section id".
std::ostream& operator<<(std::ostream& os, const QVSectionId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSectionId> {
  size_t operator()(const Quorvel::QVSectionId& id) const { return id.hash(); }
};
