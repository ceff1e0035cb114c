#pragma once

#include <iosfwd>

#include "Command.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof info FILE": what a session file holds: the configuration, the
// time span, how the recording ended (when qvprof recorded it), and the
// processes and threads with their sample counts.
class InfoCommand : public Command {
 public:
  std::string name() const override { return "info"; }
  std::string summary() const override { return "describe a session file"; }
  Arguments arguments() const override;

  static void writeInfo(std::ostream& out, const SessionSamples& session);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
