#pragma once

#include <iosfwd>

#include "Command.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof script FILE": every call-stack sample as text, for other tools.
// One block per sample in time order:
//   COMM PID/TID [CPU] SECONDS.MICROSECONDS
//   <TAB>ADDRESS SYMBOL+0xOFFSET (MODULE)      one line a frame, innermost first
//   (blank line)
// SECONDS.MICROSECONDS is the tick at which the stack was taken, on the
// recorder's clock.
class ScriptCommand : public Command {
 public:
  std::string name() const override { return "script"; }
  std::string summary() const override { return "print every call-stack sample of a session file"; }
  Arguments arguments() const override;

  // The blocks of all samples of a session, in time order.
  static void writeScript(std::ostream& out, const SessionSamples& session);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
