#pragma once

#include <iosfwd>
#include <string>

#include "calltree/QVCallTree.h"
#include "Command.h"
#include "SessionSamples.h"

namespace Quorvel {
namespace qvprof {

// "qvprof diff BASE NEW": how the functions' shares of two sessions differ.
class DiffCommand : public Command {
 public:
  struct Options {
    QVCallTree::Granularity granularity = QVCallTree::symbol;
    double minPercent = 0.5;  // functions under this total share in both are left out
    bool folded = false;      // a differential folded file instead of the table
  };

  std::string name() const override { return "diff"; }
  std::string summary() const override { return "compare the functions of two session files"; }
  Arguments arguments() const override;

  // False (and nothing written) when either session has no samples.
  static bool writeDiff(std::ostream& out, const SessionSamples& base, const SessionSamples& next,
                        const Options& options);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
