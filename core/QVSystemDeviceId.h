#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>

#include "QVArchiver.h"
#include "QVInternTable.h"
#include "QVInternedId.h"
#include "QVSystemId.h"
#include "QVUnarchiver.h"

namespace Quorvel {

template <class Id>
struct QVSystemDeviceIdRecord {
  size_t hash;
  QVSystemId system;
  std::string name;

  bool operator==(const QVSystemDeviceIdRecord& other) const {
    return system == other.system && name == other.name;
  }
};

// A device of a system known by its kernel name (a disk "sda", a network
// interface "eth0"). Interned; Id is the concrete identifier class, which
// supplies `static const char* const kWord` for its stream form ("disk sda",
// "invalid disk id"). Each class has a table of its own, so a disk and an
// interface of the same name are different identifiers.
//
// Archive keys: "SystemId" (object, shared), "Name" (string). An invalid id
// is an element without keys.
template <class Id>
class QVSystemDeviceId : public QVInternedId<QVSystemDeviceIdRecord<Id>> {
  using Record = QVSystemDeviceIdRecord<Id>;
  using Base = QVInternedId<Record>;

 public:
  static Id unique(const QVSystemId& systemId, const std::string& name) {
    const Record candidate{QVInternHash(systemId.hash(), name), systemId, name};
    Id id;
    id.record_ = QVInternTable<Record>::shared().intern(candidate);
    return id;
  }
  static Id invalid() { return Id(); }

  QVSystemId asSystemId() const { return this->record_ ? this->record_->system : QVSystemId(); }
  // Empty for the invalid id.
  const std::string& name() const {
    static const std::string kEmpty;
    return this->record_ ? this->record_->name : kEmpty;
  }

  bool operator==(const QVSystemDeviceId& other) const { return this->record_ == other.record_; }
  bool operator!=(const QVSystemDeviceId& other) const { return this->record_ != other.record_; }
  // By system, then name; the invalid id first.
  bool operator<(const QVSystemDeviceId& other) const {
    if (this->record_ == other.record_) {
      return false;
    }
    if (this->record_ == nullptr || other.record_ == nullptr) {
      return this->record_ == nullptr;
    }
    if (this->record_->system != other.record_->system) {
      return this->record_->system < other.record_->system;
    }
    return this->record_->name < other.record_->name;
  }

  size_t hash() const { return this->record_ ? this->record_->hash : 0; }

  void encodeWithArchiver(QVArchiver* archiver) const override {
    if (this->record_ == nullptr) {
      return;
    }
    archiver->encodeObject(this->record_->system, "SystemId");
    archiver->encodeString(this->record_->name, "Name");
  }

  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override {
    if (!unarchiver->hasValueForKey("SystemId")) {
      this->record_ = nullptr;
      return;
    }
    std::shared_ptr<QVSystemId> system;
    unarchiver->decodeObjectForKey("SystemId", system);
    std::string name;
    unarchiver->decodeString("Name", name);
    this->record_ = unique(*system, name).record_;
  }

 protected:
  QVSystemDeviceId() = default;
};

template <class Id>
size_t hash_value(const QVSystemDeviceId<Id>& id) {
  return id.hash();
}

template <class Id>
std::ostream& operator<<(std::ostream& os, const QVSystemDeviceId<Id>& id) {
  if (!id.isValid()) {
    return os << "invalid " << Id::kWord << " id";
  }
  return os << Id::kWord << ' ' << id.name();
}

}  // namespace Quorvel
