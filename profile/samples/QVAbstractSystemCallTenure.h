#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <vector>

#include "samples/QVAbstractCallStackTenure.h"

namespace Quorvel {

// A traced system call: its number, arguments and result, with the call
// stack of the code that made it.
class QVAbstractSystemCallTenure : public QVAbstractCallStackTenure {
 public:
  using QVAbstractCallStackTenure::QVAbstractCallStackTenure;
  ~QVAbstractSystemCallTenure() override;

  virtual void setNumber(int number) = 0;
  virtual int number() const = 0;
  virtual void setArguments(const std::vector<uint64_t>& arguments) = 0;
  virtual const std::vector<uint64_t>& arguments() const = 0;
  virtual void setResult(const uint64_t& result) = 0;
  virtual uint64_t result() const = 0;
  // "System Call - number:<number>".
  void getDescription(std::ostream& os) const override;
};

std::ostream& operator<<(std::ostream& os, const QVAbstractSystemCallTenure& tenure);
// Prints nothing for a null pointer.
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<QVAbstractSystemCallTenure>& tenure);

}  // namespace Quorvel
