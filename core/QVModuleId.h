#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>

#include "QVFileId.h"
#include "QVInternedId.h"
#include "QVMachine.h"

namespace Quorvel {

struct QVModuleIdRecord;

// A module image: the file it comes from and the architecture it was built
// for (one file may hold code for several). Interned.
//
// Archive keys: "FileId" (object, shared), "Arch" (string, the
// architecture's name). An invalid id is an element without keys.
class QVModuleId : public QVInternedId<QVModuleIdRecord> {
 public:
  QVModuleId() = default;  // invalid

  static QVModuleId uniqueModuleId(const QVFileId& fileId, QVArchitecture architecture);
  static QVModuleId invalid() { return QVModuleId(); }
  static QVModuleId invalidModuleId() { return QVModuleId(); }

  // The invalid file id and QVArchitectureUnknown for the invalid id.
  QVFileId fileId() const;
  QVArchitecture architecture() const;

  bool operator==(const QVModuleId& other) const { return record_ == other.record_; }
  bool operator!=(const QVModuleId& other) const { return record_ != other.record_; }
  // By file, then architecture; the invalid id first.
  bool operator<(const QVModuleId& other) const;

  size_t hash() const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  explicit QVModuleId(const QVModuleIdRecord* record) : QVInternedId(record) {}
};

inline size_t hash_value(const QVModuleId& id) { return id.hash(); }
// "<path> (<architecture>)", or "invalid module id".
std::ostream& operator<<(std::ostream& os, const QVModuleId& id);

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVModuleId> {
  size_t operator()(const Quorvel::QVModuleId& id) const { return id.hash(); }
};
