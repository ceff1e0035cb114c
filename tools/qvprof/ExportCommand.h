#pragma once

#include <iosfwd>
#include <string>

#include "calltree/QVCallTree.h"
#include "Command.h"
#include "export/QVSampleSelection.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof export FILE --format F": a session in a format other tools read.
class ExportCommand : public Command {
 public:
  enum class Format { folded, pprof, trace, speedscope };

  struct Options {
    Format format = Format::folded;
    std::string title;  // names the profile where the format has a name (speedscope)
    QVSampleFilter filter;
    QVCallTree::Granularity granularity = QVCallTree::symbol;  // folded frames
  };

  std::string name() const override { return "export"; }
  std::string summary() const override { return "write a session as folded stacks, pprof, a trace or a speedscope file"; }
  Arguments arguments() const override;

  // The export of the samples that pass the filter; false (and nothing
  // written) when no sample passes it and the format needs samples.
  static bool writeExport(std::ostream& out, const SessionSamples& session, const Options& options);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
