#pragma once

#include <iosfwd>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof export FILE --format FORMAT [-o OUT]": a session in a format
// that other profiling tools read.
class ExportCommand : public Command {
 public:
  std::string name() const override { return "export"; }
  std::string summary() const override { return "write a session in another tool's format"; }
  Arguments arguments() const override;

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
