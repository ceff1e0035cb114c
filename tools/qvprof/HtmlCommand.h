#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "calltree/QVCallTree.h"
#include "Command.h"
#include "htmlreport/QVHtmlReport.h"
#include "export/QVSampleSelection.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof html FILE -o report.html": the session as one self-contained
// page: a flame graph, the heaviest functions, the threads over time and
// the metrics, when the session has them.
class HtmlCommand : public Command {
 public:
  struct Options {
    QVCallTree::Granularity granularity = QVCallTree::symbol;
    QVSampleFilter filter;
    std::string title;  // empty: the session file's name
    // Subtrees under this share of all samples are not embedded; a few
    // samples in 100,000 are below a pixel of any screen.
    double minimumShare = 1e-5;
    uint32_t timelineBuckets = 400;
  };

  std::string name() const override { return "html"; }
  std::string summary() const override { return "write a session as an interactive HTML report"; }
  Arguments arguments() const override;

  // Null when no sample or tenure passes the filter.
  static std::unique_ptr<QVHtmlReport> buildReport(const SessionSamples& session, const Options& options);
  // The flame graph's label of a call-tree node: function (or file, line,
  // module, address, as merged) and module.
  static QVFlameGraph::Label frameLabel(const QVCallTreeNode& node, QVCallTree::Granularity granularity);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
