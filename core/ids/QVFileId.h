#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "ids/QVInternedId.h"
#include "ids/QVSystemId.h"

namespace Quorvel {

// A file by its path (source files, module images), or a name that stands
// for a file only within one boot of one machine (kernel modules, whose
// images live in kernel memory and whose names are reused across boots).
// Interned. Ordered by path, then system and time.
//
// Archive keys: "Path" (string); for the per-boot form also "SystemId"
// (object, shared) and "Time" ("0x%llx", the boot time).
class QVFileId : public QVInternedId<QVFileId, std::string, QVSystemId, uint64_t> {
 public:
  static constexpr const char* kKeys[] = {"Path", "SystemId", "Time"};
  static constexpr const char* kInvalidText = "invalid file id";

  QVFileId() = default;  // invalid

  static QVFileId uniqueFileId(const std::string& path) { return _intern(path, QVSystemId(), 0); }
  // `name` within the boot of `systemId` that began at `time` (nanoseconds
  // since the Unix epoch). Never equal to the path form of the same text,
  // except that the invalid system with time 0 is the path form.
  static QVFileId uniqueFileId(const QVSystemId& systemId, const std::string& name, uint64_t time) {
    return _intern(name, systemId, time);
  }

  // Empty for the invalid id.
  const std::string& path() const { return isValid() ? _field<0>() : _emptyText(); }
  // The invalid system and 0 for the path form.
  QVSystemId systemId() const { return isValid() ? _field<1>() : QVSystemId(); }
  uint64_t time() const { return isValid() ? _field<2>() : 0; }

  // The path form writes its path alone.
  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  friend QVInternedId;
  bool _isPerBoot() const { return systemId().isValid() || time() != 0; }
  // The path; the per-boot form adds " [<system>, boot 0x<time>]".
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVFileId> : Quorvel::QVInternedIdHash {};
