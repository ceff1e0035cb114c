#include "ReportCommand.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <set>
#include <sstream>
#include <vector>

#include "base/QVException.h"
#include "export/QVCallTreeJson.h"
#include "export/QVSampleSelection.h"
#include "export/QVFrameText.h"
#include "ids/QVContext.h"
#include "LogOptions.h"
#include "samples/QVAbstractCallFrame.h"
#include "samples/QVAbstractCallStackTenure.h"
#include "symbols/QVSymbol.h"
#include "SyscallNames.h"
#include "TenureSummary.h"
#include "UsageError.h"

namespace Quorvel {
namespace qvprof {

namespace {

// The state letters of a comma-separated list of state names.
std::string stateLetters(const std::string& names) {
  static const char kLetters[] = "RSDTtZIPX";
  std::string letters;
  size_t begin = 0;
  while (begin <= names.size()) {
    const size_t comma = std::min(names.find(',', begin), names.size());
    const std::string name = names.substr(begin, comma - begin);
    bool known = false;
    for (const char* letter = kLetters; *letter != '\0'; ++letter) {
      if (name == QVAbstractCallStackTenure::schedulerStateName(*letter)) {
        letters += *letter;
        // Both letters the kernel has used for a dead task.
        if (*letter == 'X') letters += 'x';
        known = true;
      }
    }
    if (!known) {
      throw UsageError("report", "--state: unknown state '" + name +
                                     "' (states: running, sleeping, disk, stopped, traced, zombie, idle, parked, dead)");
    }
    begin = comma + 1;
  }
  return letters;
}

const char* columnTitle(QVCallTree::Granularity granularity) {
  switch (granularity) {
    case QVCallTree::address:
      return "Address";
    case QVCallTree::module:
      return "Module";
    case QVCallTree::file:
      return "File";
    case QVCallTree::line:
      return "Line";
    case QVCallTree::symbol:
    default:
      return "Function";
  }
}

QVSampleFilter filterOf(const ReportCommand::Options& options) {
  QVSampleFilter filter;
  filter.processId = options.processId;
  filter.threadId = options.threadId;
  filter.states = options.states;
  return filter;
}

struct LabelledNode {
  QVCallTreeNode::NodePtr node;
  std::string label;
};

// Heaviest first; equal weights fall back to the label and the address so
// the listing never depends on hash-table order.
std::vector<LabelledNode> sortedChildren(const QVCallTreeNode& parent, QVCallTree::Granularity granularity) {
  std::vector<QVCallTreeNode::NodePtr> children;
  parent.getChildren(children);
  std::vector<LabelledNode> labelled;
  labelled.reserve(children.size());
  for (auto& child : children) labelled.push_back({child, ReportCommand::nodeLabel(*child, granularity)});
  std::sort(labelled.begin(), labelled.end(), [](const LabelledNode& a, const LabelledNode& b) {
    if (a.node->totalWeight() != b.node->totalWeight()) return a.node->totalWeight() > b.node->totalWeight();
    if (a.node->selfWeight() != b.node->selfWeight()) return a.node->selfWeight() > b.node->selfWeight();
    if (a.label != b.label) return a.label < b.label;
    return a.node->address() < b.node->address();
  });
  return labelled;
}

class TreePrinter {
 public:
  TreePrinter(std::ostream& out, const ReportCommand::Options& options, double total)
      : out_(out), options_(options), total_(total) {}

  // Walks with an explicit stack: the depth of the tree comes from the file,
  // and a 30,000-frame stack overflowed the thread's stack when recursive.
  void print(const QVCallTreeNode& root) {
    struct Level {
      std::vector<LabelledNode> children;
      size_t next;
    };
    std::vector<Level> levels;
    levels.push_back({sortedChildren(root, options_.granularity), 0});
    while (!levels.empty()) {
      Level& level = levels.back();
      const size_t depth = levels.size() - 1;
      if (level.next >= level.children.size()) {
        levels.pop_back();
        continue;
      }
      const size_t i = level.next++;
      const LabelledNode child = level.children[i];
      const double totalPercent = 100.0 * child.node->totalWeight() / total_;
      // Siblings come heaviest first: the rest are under the limit too.
      if (totalPercent < options_.minPercent) {
        hidden_ += level.children.size() - i;
        level.next = level.children.size();
        continue;
      }
      const double selfPercent = 100.0 * child.node->selfWeight() / total_;
      char columns[96];
      std::snprintf(columns, sizeof columns, "%6.2f%% %6.2f%% %9.0f %9.0f  ", totalPercent, selfPercent,
                    child.node->totalWeight(), child.node->selfWeight());
      out_ << columns << indent(depth) << child.label << '\n';
      if (options_.depth == 0 || depth + 1 < options_.depth) {
        levels.push_back({sortedChildren(*child.node, options_.granularity), 0});
      }
    }
  }

  size_t hidden() const { return hidden_; }

 private:
  // Two spaces a level up to kMaxIndentLevels; deeper lines say their depth
  // instead, so that a very deep tree does not print quadratic whitespace.
  static constexpr size_t kMaxIndentLevels = 100;
  static std::string indent(size_t depth) {
    if (depth <= kMaxIndentLevels) return std::string(2 * depth, ' ');
    return std::string(2 * kMaxIndentLevels, ' ') + "[" + std::to_string(depth) + "] ";
  }

  std::ostream& out_;
  const ReportCommand::Options& options_;
  double total_;
  size_t hidden_ = 0;
};

}  // namespace

Arguments ReportCommand::arguments() const {
  std::vector<Option> options = {
      {"topology", 0, "tree|leaf",
       "tree: outermost callers first (default); leaf: sampled functions first"},
      {"granularity", 0, "KIND", "merge frames by address, symbol (default), module, file or line"},
      {"process", 0, "PID", "only samples of this process (default: the one a perf recording ran or named)"},
      {"all-processes", 0, "", "every process of a perf recording, not only the one it ran or named"},
      {"thread", 0, "TID", "only samples of this thread"},
      {"depth", 0, "N", "show N levels of the tree (default: all)"},
      {"min-percent", 0, "P",
       "hide nodes with less than P percent of the samples (default 0.5 for text, 0 for json; 0 shows all)"},
      {"format", 0, "text|json",
       "text (default), or json: the tree as nested objects with name, module, self, total, children"},
      {"weight", 0, "cpu|samples",
       "cpu: weigh each sample by the CPU time its thread used (default when the session has it); "
       "samples: each sample weighs one (wall-clock view)"},
      {"state", 0, "STATES",
       "only samples whose thread was in one of these comma-separated scheduler states: running, "
       "sleeping, disk, stopped, traced, zombie, idle, parked, dead"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  return Arguments(name(),
                   "Prints the call tree of a session file, heaviest first. Each line shows the share of\n"
                   "all samples that passed through the node (Total) and that were taken in it (Self),\n"
                   "then the same as sample counts, then the node indented by its depth. Sessions with\n"
                   "scheduler or system-call traces add the off-CPU time of each thread and a table of\n"
                   "the system calls made.",
                   options, "FILE", 1, 1);
}

std::string ReportCommand::nodeLabel(const QVCallTreeNode& node, QVCallTree::Granularity granularity) {
  return QVFrameText::nodeLabel(node.templateCallFrame(), granularity);
}

bool ReportCommand::writeReport(std::ostream& out, const SessionSamples& session, const Options& options) {
  if (options.json) return writeJsonReport(out, session, options);
  const QVSampleSelection selection(session.samples(), filterOf(options));
  if (selection.empty()) return false;
  const QVCallTree::TenureList& selected = selection.samples();
  const size_t threads = selection.threadCount();
  const size_t processes = selection.processCount();

  bool byCpu = options.weight == Options::Weight::Cpu;
  if (options.weight == Options::Weight::Automatic) {
    byCpu = std::any_of(selected.begin(), selected.end(), [](const auto& sample) { return sample->cpuTimeNanos() >= 0; });
  }
  // In milliseconds, so that the columns read as CPU time.
  QVCallTree::WeightFunction weight;
  if (byCpu) {
    weight = [](const QVAbstractCallStackTenure& sample) {
      return sample.cpuTimeNanos() > 0 ? static_cast<double>(sample.cpuTimeNanos()) / 1e6 : 0.0;
    };
  }
  const QVCallTree tree(selected, options.topology, options.granularity, weight);
  const double total = tree.rootNode()->totalWeight();
  out << "Call tree: " << selected.size() << (selected.size() == 1 ? " sample, " : " samples, ") << threads
      << (threads == 1 ? " thread of " : " threads of ") << processes << (processes == 1 ? " process" : " processes")
      << ", "
      << QVCallTree::topologyToString(options.topology) << " view by "
      << QVCallTree::granularityToString(options.granularity) << (byCpu ? ", weighted by CPU time" : "") << "\n";
  if (total <= 0.0) {
    out << (byCpu ? "No sample used any CPU time (--weight samples counts them all).\n"
                  : "Every sample has an empty call stack.\n");
    return true;
  }
  out << (byCpu ? "\n  Total     Self    CPU ms      Self  " : "\n  Total     Self   Samples      Self  ")
      << columnTitle(options.granularity) << '\n';
  TreePrinter printer(out, options, total);
  printer.print(*tree.rootNode());
  if (printer.hidden() > 0) {
    out << "\n" << printer.hidden() << (printer.hidden() == 1 ? " node" : " nodes") << " under "
        << options.minPercent << "% hidden (--min-percent 0 shows all).\n";
  }
  return true;
}

bool ReportCommand::writeJsonReport(std::ostream& out, const SessionSamples& session, const Options& options) {
  const QVSampleSelection selection(session.samples(), filterOf(options));
  if (selection.empty()) return false;
  const QVCallTree tree(selection.samples(), options.topology, options.granularity);
  QVCallTreeJson::Options shape;
  shape.depth = options.depth;
  shape.minPercent = options.minPercent;
  nlohmann::ordered_json document = {{"samples", selection.samples().size()},
                             {"threads", selection.threadCount()},
                             {"processes", selection.processCount()},
                             {"topology", QVCallTree::topologyToString(options.topology)},
                             {"granularity", QVCallTree::granularityToString(options.granularity)}};
  document.update(QVCallTreeJson::build(tree, shape));
  out << document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  return true;
}

int ReportCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  Options options;
  options.topology = QVCallTree::topologyFromString(arguments.choice("topology", {"tree", "leaf"}, "tree"));
  options.granularity = QVCallTree::granularityFromString(
      arguments.choice("granularity", {"address", "symbol", "module", "file", "line"}, "symbol"));
  if (arguments.has("process")) options.processId = static_cast<int64_t>(arguments.integer("process", 0, 0, 4194304));
  if (arguments.has("thread")) options.threadId = static_cast<int64_t>(arguments.integer("thread", 0, 0, 4194304));
  options.depth = static_cast<size_t>(arguments.integer("depth", 0, 1, 100000));
  options.json = arguments.choice("format", {"text", "json"}, "text") == "json";
  // Scripts want the whole tree unless they ask otherwise.
  options.minPercent = arguments.positiveNumber("min-percent", options.json ? 0.0 : 0.5, true);
  if (arguments.has("weight")) {
    options.weight = arguments.choice("weight", {"cpu", "samples"}, "cpu") == "cpu" ? Options::Weight::Cpu
                                                                               : Options::Weight::Samples;
  }
  if (arguments.has("state")) options.states = stateLetters(arguments.value("state"));
  if (options.minPercent > 100.0) {
    throw UsageError(name(), "--min-percent: expected a percentage from 0 to 100, got '" +
                                       arguments.value("min-percent") + "'");
  }

  const std::string& path = arguments.operands().front();
  const SessionSamples session(path);
  bool focused = false;
  if (!arguments.has("process") && !arguments.has("all-processes")) {
    options.processId = SessionSamples::focusProcess(*session.profile());
    focused = options.processId >= 0;
    if (focused) {
      out << "Process " << options.processId << " of a system-wide recording (--all-processes shows all)\n";
    }
  }
  const bool tree = writeReport(out, session, options);
  // Ten rows show where a program waits; a system-wide view lists more.
  const size_t rows = options.processId >= 0 ? 10 : 20;
  bool traces = false;
  std::ostringstream summaries;
  if (TenureSummary::writeOffCpu(summaries << '\n', *session.profile(), options.processId, rows)) traces = true;
  std::ostringstream calls;
  if (TenureSummary::writeSystemCalls(calls << '\n', *session.profile(), options.processId, SyscallNames::machine(),
                                      rows)) {
    summaries << calls.str();
    traces = true;
  }
  if (traces) out << summaries.str();
  if (!tree && !traces) {
    if (session.samples().empty()) {
      err << "qvprof: " << path << " holds no call-stack samples\n";
    } else if (focused) {
      err << "qvprof: process " << options.processId << " has no samples in " << path
          << " (it did not run while recorded); --all-processes shows the others\n";
    } else {
      err << "qvprof: no samples in " << path << " match" << filterOf(options).description() << '\n';
    }
    return ExitFailure;
  }
  out.flush();
  return out ? ExitSuccess : ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
