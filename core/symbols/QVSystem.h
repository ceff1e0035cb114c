#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "archive/QVArchivable.h"
#include "archive/QVUnarchivable.h"
#include "ids/QVSystemId.h"
#include "system/QVMachine.h"

namespace Quorvel {

// The facts about a machine that a session needs to read its samples
// elsewhere: what it is, what it runs and how many processors it has.
//
// Archive keys: "SystemId" (object, shared), "Name" (string), "Arch"
// (string, the architecture's name), "ProcessorType" (string, the processor
// as the kernel drivers name it), "ProcessorCount" ("%lld"),
// "KernelRelease" (string).
class QVSystem : public QVArchivable, public QVUnarchivable {
 public:
  QVSystem() = default;  // for decoding
  QVSystem(const QVSystemId& systemId, const std::string& name, QVArchitecture architecture,
           QVProcessor processorType, unsigned processorCount, const std::string& kernelRelease);

  // This machine, built once from the machine facts and registered.
  static std::shared_ptr<QVSystem> currentSystem();

  const QVSystemId& systemId() const { return systemId_; }
  const std::string& name() const { return name_; }
  QVArchitecture architecture() const { return architecture_; }
  QVProcessor processorType() const { return processorType_; }
  unsigned processorCount() const { return processorCount_; }
  const std::string& kernelRelease() const { return kernelRelease_; }

  // The first object registered for an id stays and is returned, so a
  // session read back on the machine that recorded it keeps the live
  // description. Invalid ids are not registered (the empty pointer is
  // returned).
  static std::shared_ptr<QVSystem> registerSystem(const std::shared_ptr<QVSystem>& system);
  // The registered system, or an empty pointer.
  static std::shared_ptr<QVSystem> systemWithId(const QVSystemId& systemId);
  static void flushRegisteredSystems();

  // "<name> (<architecture>, <count> x <processor>, Linux <release>)".
  void getDescription(std::ostream& os) const;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

 private:
  QVSystemId systemId_;
  std::string name_;
  QVArchitecture architecture_ = QVArchitectureUnknown;
  QVProcessor processorType_ = QVProcessorUnknown;
  unsigned processorCount_ = 0;
  std::string kernelRelease_;
};

std::ostream& operator<<(std::ostream& os, const QVSystem& system);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystem>& system);

}  // namespace Quorvel
