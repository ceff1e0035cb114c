#include "ExportCommand.h"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include "base/QVException.h"
#include "export/QVFoldedStacks.h"
#include "export/QVPprofExporter.h"
#include "export/QVTraceExporter.h"
#include "LogOptions.h"
#include "OutputFile.h"
#include "SampleFilter.h"
#include "session/QVSessionProfile.h"
#include "SpeedscopeExport.h"
#include "system/QVFileUtils.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

Arguments ExportCommand::arguments() const {
  std::vector<Option> options = {
      {"format", 'f', "FORMAT", "folded, pprof, trace or speedscope (required)"},
      {"output", 'o', "FILE", "write to FILE instead of standard output"},
      {"granularity", 0, "KIND",
       "folded: name frames by symbol (default), address, module, file or line"},
  };
  for (const Option& option : SampleFilter::options()) options.push_back(option);
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(), "Writes the call-stack samples of a session file in a format other tools read.",
                      options, "FILE", 1, 1);
  arguments.setNotes(
      "Formats:\n"
      "  folded  one line per distinct stack, outermost frame first, frames separated by\n"
      "          ';', then a blank and the number of samples: the input of flame-graph\n"
      "          scripts. Lines are in byte order; samples without frames read\n"
      "          \"[no frames]\".\n"
      "  pprof   a gzip-compressed pprof profile (go tool pprof, and the services that\n"
      "          ingest pprof): sample counts, CPU time for timer-driven sessions,\n"
      "          functions, source lines, modules with build ids, labels pid, tid and\n"
      "          thread. Needs -o unless standard output is redirected.\n"
      "  trace   Chrome trace-event JSON for Perfetto and chrome://tracing: a track per\n"
      "          thread with samples as instant events with their stacks, thread\n"
      "          tenures and system calls as duration events where the session has\n"
      "          them.\n"
      "  speedscope  the speedscope app's JSON file: one sampled profile per thread\n"
      "          in time order over one shared frame table.");
  return arguments;
}

bool ExportCommand::writeExport(std::ostream& out, const SessionSamples& session, const Options& options) {
  const QVSampleSelection selection(session.samples(), options.filter);
  switch (options.format) {
    case Format::folded: {
      if (selection.empty()) return false;
      QVFoldedStacks(selection.samples(), options.granularity).write(out);
      return true;
    }
    case Format::pprof:
      if (selection.empty()) return false;
      if (!QVPprofExporter(*session.profile(), selection.samples()).write(out)) {
        throw QVException("the pprof profile could not be written", __LINE__, __FILE__);
      }
      return true;
    case Format::speedscope:
      return SpeedscopeExport::write(out, session, options.filter, options.title);
    case Format::trace:
    default:
      // A trace of tenures alone is still a trace.
      QVTraceExporter(*session.profile(), selection.samples(), options.filter).write(out);
      return true;
  }
}

int ExportCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.has("format")) {
    throw UsageError(name(), "--format: required (folded, pprof, trace or speedscope)");
  }
  Options options;
  const std::string format = arguments.choice("format", {"folded", "pprof", "trace", "speedscope"}, "folded");
  options.format = format == "pprof"        ? Format::pprof
                   : format == "trace"      ? Format::trace
                   : format == "speedscope" ? Format::speedscope
                                            : Format::folded;
  options.filter = SampleFilter::fromArguments(arguments);
  options.granularity = QVCallTree::granularityFromString(
      arguments.choice("granularity", {"address", "symbol", "module", "file", "line"}, "symbol"));
  const std::string output = arguments.value("output");
  if (options.format == Format::pprof && (output.empty() || output == "-") && &out == &std::cout &&
      isatty(STDOUT_FILENO)) {
    throw UsageError(name(), "--output: a pprof profile is binary; name a file or redirect standard output");
  }

  const std::string& path = arguments.operands().front();
  options.title = PathBaseName(path);
  const SessionSamples session(path);
  OutputFile file(output, out);
  if (!writeExport(file.stream(), session, options)) {
    if (session.samples().empty()) {
      err << "qvprof: " << path << " holds no call-stack samples\n";
    } else {
      err << "qvprof: no samples in " << path << " match" << options.filter.description() << '\n';
    }
    return ExitFailure;
  }
  file.commit();
  return ExitSuccess;
}

}  // namespace qvprof
}  // namespace Quorvel
