#include "ExportCommand.h"

#include <ostream>
#include <sstream>

#include "LogOptions.h"
#include "OutputFile.h"
#include "SampleFilter.h"
#include "SessionSamples.h"
#include "SpeedscopeExport.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

Arguments ExportCommand::arguments() const {
  std::vector<Option> options = {
      {"format", 'f', "FORMAT", "speedscope: the speedscope app's JSON file, one profile per thread"},
      {"output", 'o', "FILE", "the file to write (default: standard output)"},
  };
  for (const Option& option : SampleFilter::options()) options.push_back(option);
  for (const Option& option : LogOptions::options()) options.push_back(option);
  return Arguments(name(), "Writes the call-stack samples of a session in a format other profiling tools read.",
                   options, "FILE", 1, 1);
}

int ExportCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.has("format")) throw UsageError(name(), "--format: missing (speedscope)");
  arguments.choice("format", {SpeedscopeExport::FormatName}, SpeedscopeExport::FormatName);
  const SampleFilter filter = SampleFilter::fromArguments(arguments);
  const std::string output = arguments.value("output");
  if (arguments.has("output")) {
    if (output.empty()) throw UsageError(name(), "--output: the file name is empty");
    OutputFile::checkWritable(output);
  }
  const std::string& path = arguments.operands().front();
  const SessionSamples session(path);
  const size_t slash = path.rfind('/');
  const std::string title = slash == std::string::npos ? path : path.substr(slash + 1);

  std::ostringstream text;
  if (!SpeedscopeExport::write(output.empty() ? out : text, session, filter, title)) {
    if (session.samples().empty()) {
      err << "qvprof: " << path << " holds no call-stack samples\n";
    } else {
      err << "qvprof: no samples in " << path << " match" << filter.describe() << '\n';
    }
    return ExitFailure;
  }
  if (!output.empty()) OutputFile::write(output, text.str());
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
