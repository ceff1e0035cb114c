#pragma once

#include <iosfwd>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof drivers": the profile drivers of this machine, the default one,
// and the environment problems of the default and of the library's kernel
// driver, with their message texts.
class DriversCommand : public Command {
 public:
  std::string name() const override { return "drivers"; }
  std::string summary() const override { return "list the profile drivers and their environment problems"; }
  Arguments arguments() const override;

  static void writeDrivers(std::ostream& out);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
