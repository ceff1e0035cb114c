#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVSectionId.h"

namespace Quorvel {

struct QVSymbolIdRecord;

// A symbol of a section, by an index its owner chooses (the position in
// the ELF symbol table, or the offset for kernel symbols). Interned.
//
// Archive keys: "SectionId" (object, shared), "Index" ("%lld"). An invalid
// id is an element without keys.
class QVSymbolId : public QVInternedId<QVSymbolIdRecord> {
 public:
  QVSymbolId() = default;  // invalid

  static QVSymbolId uniqueSymbolId(const QVSectionId& sectionId, int index);
  static QVSymbolId invalid() { return QVSymbolId(); }
  static QVSymbolId invalidSymbolId() { return QVSymbolId(); }

  // The invalid ids for the invalid id.
  QVSectionId asSectionId() const;
  QVModuleId asModuleId() const;
  // -1 for the invalid id.
  int index() const;

  bool operator==(const QVSymbolId& other) const { return record_ == other.record_; }
  bool operator!=(const QVSymbolId& other) const { return record_ != other.record_; }
  // By section, then index; the invalid id first.
  bool operator<(const QVSymbolId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVSymbolId(const QVSymbolIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVSymbolId& id) { return id.hash(); }
// "<section id> symbol <index>", or "invalid symbol id".
std::ostream& operator<<(std::ostream& os, const QVSymbolId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSymbolId> {
  size_t operator()(const Quorvel::QVSymbolId& id) const { return id.hash(); }
};
