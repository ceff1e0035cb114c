#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "QVInternedId.h"
#include "QVSystemId.h"

namespace Quorvel {

struct QVProcessorIdRecord;

// A logical processor of a system, by its index. Interned.
//
// Archive keys: "SystemId" (object, shared), "Index" ("%lld"). An invalid
// id is an element without keys.
class QVProcessorId : public QVInternedId<QVProcessorIdRecord> {
 public:
  QVProcessorId() = default;  // invalid

  static QVProcessorId uniqueProcessorId(const QVSystemId& systemId, int index);
  static QVProcessorId invalid() { return QVProcessorId(); }

  QVSystemId asSystemId() const;
  // -1 for the invalid id.
  int index() const;

  bool operator==(const QVProcessorId& other) const { return record_ == other.record_; }
  bool operator!=(const QVProcessorId& other) const { return record_ != other.record_; }
  // By system, then index; the invalid id first.
  bool operator<(const QVProcessorId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVProcessorId(const QVProcessorIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVProcessorId& id) { return id.hash(); }
// "cpu 3", or "invalid processor id".
std::ostream& operator<<(std::ostream& os, const QVProcessorId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVProcessorId> {
  size_t operator()(const Quorvel::QVProcessorId& id) const { return id.hash(); }
};
