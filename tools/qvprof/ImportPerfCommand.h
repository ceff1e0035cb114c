#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>

#include "Command.h"

namespace Quorvel {

class QVSessionProfile;

namespace qvprof {

// "qvprof import-perf PERF.DATA -o SESSION": turns a perf.data file that
// perf record wrote on this machine (call stacks recorded with -g, with or
// without -R; sched:sched_switch and raw_syscalls tracepoints) into a
// session file, decoded as the perf driver decodes its own recordings.
// Symbols resolve against this machine's files and kernel, or against a
// copy of the recording machine's under a symbol root.
class ImportPerfCommand : public Command {
 public:
  std::string name() const override { return "import-perf"; }
  std::string summary() const override { return "turn a perf.data file into a session file"; }
  Arguments arguments() const override;

  // The session of a perf.data file. Throws QVException with a one-line
  // reason when the file cannot be read as perf.data. `dropped`, when
  // given, receives the records that could not be used, by reason. A
  // non-empty `symbolRoot` is where the programs, libraries and the kernel's
  // /proc/kallsyms that the recording names are looked for instead of /.
  static std::shared_ptr<QVSessionProfile> import(const std::string& path,
                                                  std::map<std::string, uint64_t>* dropped = nullptr,
                                                  const std::string& symbolRoot = std::string());

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
