#pragma once

#include <iosfwd>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof metrics": samples system, process, disk and network metrics and
// prints them as a refreshed table on a terminal or as CSV; --list shows
// the metrics this machine offers, --from the metrics a session recorded.
class MetricsCommand : public Command {
 public:
  std::string name() const override { return "metrics"; }
  std::string summary() const override { return "show system, process, disk and network metrics over time"; }
  Arguments arguments() const override;

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
