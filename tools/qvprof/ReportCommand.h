#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "calltree/QVCallTree.h"
#include "Command.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof report FILE": the call tree of a session as text.
class ReportCommand : public Command {
 public:
  struct Options {
    QVCallTree::Topology topology = QVCallTree::tree;
    QVCallTree::Granularity granularity = QVCallTree::symbol;
    int64_t processId = -1;  // native pid to keep; -1 keeps every process
    int64_t threadId = -1;   // native tid to keep; -1 keeps every thread
    size_t depth = 0;        // levels shown; 0 shows all
    double minPercent = 0.5; // nodes below this share of all samples are hidden
    // What a sample weighs: the CPU time its thread used since its previous
    // sample, or 1. Automatic is CPU time when any selected sample carries
    // it, else samples.
    enum class Weight { Automatic, Cpu, Samples };
    Weight weight = Weight::Automatic;
    // Scheduler state letters to keep (see
    // QVAbstractCallStackTenure::schedulerStateName); empty keeps all.
    std::string states;
    bool json = false;       // the tree as nested JSON objects instead of text
  };

  std::string name() const override { return "report"; }
  std::string summary() const override { return "print the call tree of a session file"; }
  Arguments arguments() const override;

  // The report of the samples that pass the options' filters; false (and
  // nothing written) when no sample passes them.
  static bool writeReport(std::ostream& out, const SessionSamples& session, const Options& options);
  // The same samples as one JSON document: "samples", "threads",
  // "processes", "topology", "granularity", then the tree as
  // QVCallTreeJson builds it ("total" and nested "children").
  static bool writeJsonReport(std::ostream& out, const SessionSamples& session, const Options& options);
  // What one node stands for at a granularity, from its template frame.
  static std::string nodeLabel(const QVCallTreeNode& node, QVCallTree::Granularity granularity);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
