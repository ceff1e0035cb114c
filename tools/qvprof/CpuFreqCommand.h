#pragma once

#include <iosfwd>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// "qvprof cpufreq": each processor's frequency scaling (governor, minimum,
// maximum and current frequency, what is available), and with --restore
// the settings an earlier "record --pin-cpufreq" left pinned put back.
class CpuFreqCommand : public Command {
 public:
  std::string name() const override { return "cpufreq"; }
  std::string summary() const override { return "show CPU frequency scaling, or restore what a recording pinned"; }
  Arguments arguments() const override;

  static void writeStatus(std::ostream& out);

 protected:
  int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) override;
};

}  // namespace qvprof
}  // namespace Quorvel
