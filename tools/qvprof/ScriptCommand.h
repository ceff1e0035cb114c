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
// recorder's clock. Sessions with traces interleave one line per thread run
// and per system call, at the tick it ended:
//   COMM PID/TID [CPU] SECONDS.MICROSECONDS: sched: ran 0.120 ms, then Sleep
//   COMM PID/TID [CPU] SECONDS.MICROSECONDS: syscall write(1) = 42, 0.004 ms
class ScriptCommand : public Command {
 public:
  std::string name() const override { return "script"; }
  std::string summary() const override { return "print every call-stack sample of a session file"; }
  Arguments arguments() const override;

  // The blocks of the samples and the trace lines of a session, of one
  // native pid (-1: every process), in time order.
  static void writeScript(std::ostream& out, const SessionSamples& session, int64_t processId = -1);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
