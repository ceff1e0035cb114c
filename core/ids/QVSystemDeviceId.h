#pragma once

#include <ostream>
#include <string>

#include "ids/QVInternedId.h"
#include "ids/QVSystemId.h"

namespace Quorvel {

// A device of a system known by its kernel name (a disk "sda", a network
// interface "eth0"). Interned; Id is the concrete identifier class, which
// supplies `kWord` for its stream form ("disk sda") and `kInvalidText`
// ("invalid disk id"). Each class has a table of its own, so a disk and an
// interface of the same name are different identifiers. Ordered by system,
// then name.
//
// Archive keys: "SystemId" (object, shared), "Name" (string).
template <class Id>
class QVSystemDeviceId : public QVInternedId<Id, QVSystemId, std::string> {
  using Base = QVInternedId<Id, QVSystemId, std::string>;

 public:
  static constexpr const char* kKeys[] = {"SystemId", "Name"};

  QVSystemId asSystemId() const { return this->isValid() ? this->template _field<0>() : QVSystemId(); }
  // Empty for the invalid id.
  const std::string& name() const { return this->isValid() ? this->template _field<1>() : Base::_emptyText(); }

 protected:
  QVSystemDeviceId() = default;

 private:
  friend Base;
  void _describe(std::ostream& os) const { os << Id::kWord << ' ' << name(); }
};

}  // namespace Quorvel
