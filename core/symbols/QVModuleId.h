#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "ids/QVFileId.h"
#include "ids/QVInternedId.h"
#include "system/QVMachine.h"

namespace Quorvel {

// An architecture is archived by its name.
template <>
struct QVIdentifierField<QVArchitecture> {
  static void encode(QVArchiver* archiver, QVArchitecture value, const char* key) {
    archiver->encodeString(ArchitectureToString(value), key);
  }
  static QVArchitecture decode(QVUnarchiver* unarchiver, const char* key) {
    return ArchitectureFromString(QVIdentifierField<std::string>::decode(unarchiver, key));
  }
};

// A module image: the file it comes from and the architecture it was built
// for (one file may hold code for several). Interned. Ordered by file, then
// architecture.
//
// Archive keys: "FileId" (object, shared), "Arch" (string, the
// architecture's name).
class QVModuleId : public QVInternedId<QVModuleId, QVFileId, QVArchitecture> {
 public:
  static constexpr const char* kKeys[] = {"FileId", "Arch"};
  static constexpr const char* kInvalidText = "invalid module id";

  QVModuleId() = default;  // invalid

  static QVModuleId uniqueModuleId(const QVFileId& fileId, QVArchitecture architecture) {
    return _intern(fileId, architecture);
  }
  static QVModuleId invalidModuleId() { return QVModuleId(); }

  // The invalid file id and QVArchitectureUnknown for the invalid id.
  QVFileId fileId() const { return isValid() ? _field<0>() : QVFileId(); }
  QVArchitecture architecture() const { return isValid() ? _field<1>() : QVArchitectureUnknown; }

 private:
  friend QVInternedId;
  // "<path> (<architecture>)".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVModuleId> : Quorvel::QVInternedIdHash {};
