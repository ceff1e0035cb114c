#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "samples/QVAbstractSystemCallTenure.h"
#include "samples/QVCallStack.h"

namespace Quorvel {

// The stored form of a traced system call; its QVCallStack part holds the
// caller's frames.
//
// Archive keys, in order: the QVContextTenure keys, "Frames", "SysCallNum"
// ("%lld"), "Args" (each argument as "0x" + hexadecimal followed by one
// blank, as one string; read back like "Frames"), "Result" ("0x%llx").
class QVSystemCallTenure : public QVAbstractSystemCallTenure, public QVCallStack {
 public:
  // Invalid context, ticks 0, number -1, no arguments, result 0.
  QVSystemCallTenure();
  QVSystemCallTenure(const QVContext& context, uint64_t beginTick, uint64_t endTick, int number);
  ~QVSystemCallTenure() override;

  void setNumber(int number) override;
  int number() const override;
  void setArguments(const std::vector<uint64_t>& arguments) override;
  const std::vector<uint64_t>& arguments() const override;
  void setResult(const uint64_t& result) override;
  uint64_t result() const override;
  void getDescription(std::ostream& os) const override;

  void encodeWithArchiver(QVArchiver* archiver) const override;
  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override;

  // The "Args" text of the arguments.
  static std::string argumentsText(const std::vector<uint64_t>& arguments);

 private:
  int32_t number_;
  std::vector<uint64_t> arguments_;
  uint64_t result_;
};

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVSystemCallTenure>& tenure);

}  // namespace Quorvel
