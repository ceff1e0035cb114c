#include "DiffCommand.h"

#include <cstdio>
#include <ostream>

#include "export/QVFoldedStacks.h"
#include "export/QVProfileDiff.h"
#include "LogOptions.h"
#include "OutputFile.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

Arguments DiffCommand::arguments() const {
  std::vector<Option> options = {
      {"granularity", 0, "KIND", "compare by symbol (default), address, module, file or line"},
      {"min-percent", 0, "P",
       "leave out functions under P percent of the samples in both sessions (default 0.5; 0 shows all)"},
      {"format", 0, "text|folded",
       "text (default): the table; folded: one line per stack, \"STACK BASE NEW\" counts"},
      {"output", 'o', "FILE", "write to FILE instead of standard output"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Compares two session files function by function. Each row shows the share of\n"
                      "each session's samples taken in the function (Self) and with the function on the\n"
                      "stack (Total), base first, then the change in percentage points. Rows come\n"
                      "largest change first; [new] marks functions only NEW has, [gone] those only\n"
                      "BASE has.",
                      options, "BASE NEW", 2, 2);
  arguments.setNotes(
      "The folded format is the input of differential flame graphs: stacks outermost\n"
      "frame first, joined by ';', then the base and the new sample count, in byte\n"
      "order of the stacks.");
  return arguments;
}

bool DiffCommand::writeDiff(std::ostream& out, const SessionSamples& base, const SessionSamples& next,
                            const Options& options) {
  const QVFoldedStacks before(base.samples(), options.granularity);
  const QVFoldedStacks after(next.samples(), options.granularity);
  if (before.sampleCount() == 0 || after.sampleCount() == 0) return false;
  if (options.folded) {
    QVFoldedStacks::writeDifferential(out, before, after);
    return true;
  }
  const auto rows = QVProfileDiff::compare(before, after, options.minPercent);
  out << "Diff by " << QVCallTree::granularityToString(options.granularity) << ": " << before.sampleCount()
      << " base samples, " << after.sampleCount()
      << " new samples; shares in percent of each session's samples, changes in points\n\n"
      << "   Self: base      new   change   Total: base      new   change  Function\n";
  size_t hidden = before.functions().size() + after.functions().size();
  for (const auto& row : rows) {
    char columns[128];
    std::snprintf(columns, sizeof columns, "%12.2f%% %7.2f%% %+8.2f %12.2f%% %7.2f%% %+8.2f  ", row.baseSelf,
                  row.newSelf, row.selfChange(), row.baseTotal, row.newTotal, row.totalChange());
    out << columns << row.function << (row.appears ? " [new]" : row.vanishes ? " [gone]" : "") << '\n';
  }
  // Functions in both sessions are counted twice above.
  size_t shared = 0;
  for (const auto& function : before.functions()) shared += after.functions().count(function.first);
  hidden -= shared;
  hidden -= rows.size();
  if (hidden > 0) {
    out << "\n" << hidden << (hidden == 1 ? " function" : " functions") << " under " << options.minPercent
        << "% in both left out (--min-percent 0 shows all).\n";
  }
  return true;
}

int DiffCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  Options options;
  options.granularity = QVCallTree::granularityFromString(
      arguments.choice("granularity", {"address", "symbol", "module", "file", "line"}, "symbol"));
  options.minPercent = arguments.positiveNumber("min-percent", 0.5, true);
  if (options.minPercent > 100.0) {
    throw UsageError(name(), "--min-percent: expected a percentage from 0 to 100, got '" +
                                 arguments.value("min-percent") + "'");
  }
  options.folded = arguments.choice("format", {"text", "folded"}, "text") == "folded";

  const std::string& basePath = arguments.operands()[0];
  const std::string& newPath = arguments.operands()[1];
  const SessionSamples base(basePath);
  const SessionSamples next(newPath);
  OutputFile file(arguments.value("output"), out);
  if (!writeDiff(file.stream(), base, next, options)) {
    err << "qvprof: " << (base.samples().empty() ? basePath : newPath) << " holds no call-stack samples\n";
    return ExitFailure;
  }
  file.commit();
  return ExitSuccess;
}

}  // namespace qvprof
}  // namespace Quorvel
