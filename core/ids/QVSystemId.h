#pragma once

#include <functional>
#include <iosfwd>
#include <string>

#include "ids/QVInternedId.h"

namespace Quorvel {

// A machine: a stable identifier (the machine id, or the host name where
// there is none) and a display name. Interned: equal fields give one shared
// instance. Ordered by identifier, then name.
//
// Archive keys: "Identifier" (string), "Name" (string).
class QVSystemId : public QVInternedId<QVSystemId, std::string, std::string> {
 public:
  static constexpr const char* kKeys[] = {"Identifier", "Name"};
  static constexpr const char* kInvalidText = "invalid system id";

  QVSystemId() = default;  // invalid

  static QVSystemId uniqueSystemId(const std::string& identifier, const std::string& name) {
    return _intern(identifier, name);
  }
  // This machine: identifier from /etc/machine-id when readable, else the
  // host name; name is the host name. Read once.
  static QVSystemId currentSystemId();

  // Empty strings for the invalid id.
  const std::string& identifier() const { return isValid() ? _field<0>() : _emptyText(); }
  const std::string& name() const { return isValid() ? _field<1>() : _emptyText(); }

 private:
  friend QVInternedId;
  // "system <name>", or the identifier when the name is empty.
  void _describe(std::ostream& os) const;
};

}  // namespace Quorvel

template <>
struct std::hash<Quorvel::QVSystemId> : Quorvel::QVInternedIdHash {};
