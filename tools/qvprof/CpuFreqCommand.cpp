#include "CpuFreqCommand.h"

#include <algorithm>
#include <ostream>
#include <vector>

#include "base/QVFormat.h"
#include "CpuFreqPin.h"
#include "Linux/cpufreq/QVCpuFreqDriverLinux.h"
#include "LogOptions.h"
#include "system/QVFileUtils.h"
#include "system/QVMachine.h"

namespace Quorvel {
namespace qvprof {

namespace {

// The files count in kHz; 0 is what the readers give for "unknown".
std::string frequencyText(uint64_t kilohertz) { return kilohertz == 0 ? "-" : FormatFrequencyHz(kilohertz * 1000); }

std::string joined(const std::set<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text.empty() ? "-" : text;
}

std::string frequencyRange(const QVCpuFreqDriver& driver) {
  const size_t count = driver.frequencies().size();
  if (count == 0) return "-";
  if (count == 1) return frequencyText(driver.minValidFrequency());
  return frequencyText(driver.minValidFrequency()) + " to " + frequencyText(driver.maxValidFrequency()) + " (" +
         std::to_string(count) + " steps)";
}

}  // namespace

Arguments CpuFreqCommand::arguments() const {
  std::vector<Option> options = {
      {"restore", 0, "", "put back the settings a 'record --pin-cpufreq' that never finished left pinned"},
  };
  for (const Option& option : LogOptions::options()) options.push_back(option);
  Arguments arguments(name(),
                      "Shows each processor's frequency scaling: governor, minimum, maximum and current\n"
                      "frequency, and the governors and frequencies it offers.",
                      options);
  arguments.setNotes(
      "'qvprof record --pin-cpufreq' keeps the settings it found in /run/qvprof/cpufreq.state\n"
      "until it has put them back. When it was killed before that, --restore (or the next\n"
      "--pin-cpufreq) restores them. Changing the settings needs root.\n"
      "Exit status: 0 when shown or restored, 1 when some setting could not be restored.");
  return arguments;
}

void CpuFreqCommand::writeStatus(std::ostream& out) {
  const unsigned count = LocalMachineProcessorCount();
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"CPU", "GOVERNOR", "MIN", "MAX", "CURRENT", "GOVERNORS", "FREQUENCIES"});
  bool any = false;
  for (unsigned index = 0; index < count; ++index) {
    // Drivers alone only read; the pinning front would restore on the way out.
    const QVCpuFreqDriverLinux driver(index);
    if (!driver.isAvailable()) continue;
    any = true;
    rows.push_back({std::to_string(index), driver.governor().empty() ? "-" : driver.governor(),
                    frequencyText(driver.minScalingFrequency()), frequencyText(driver.maxScalingFrequency()),
                    frequencyText(driver.currentFrequency()), joined(driver.governors()), frequencyRange(driver)});
  }
  if (!any) {
    out << "No CPU frequency scaling on this machine: no /sys/devices/system/cpu/cpuN/cpufreq directory for any of its "
        << count << (count == 1 ? " processor.\n" : " processors.\n");
  } else {
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
      for (size_t column = 0; column < row.size(); ++column) widths[column] = std::max(widths[column], row[column].size());
    }
    for (const auto& row : rows) {
      for (size_t column = 0; column < row.size(); ++column) {
        out << row[column];
        if (column + 1 < row.size()) out << std::string(widths[column] - row[column].size() + 2, ' ');
      }
      out << '\n';
    }
  }
  const std::string state = CpuFreqPin::statePath();
  if (FileExists(state)) {
    out << "\nSettings an earlier qvprof left pinned wait in " << state << ": run 'qvprof cpufreq --restore'.\n";
  }
}

int CpuFreqCommand::_execute(const Arguments& arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.has("restore")) {
    writeStatus(out);
    out.flush();
    return out ? ExitSuccess : ExitFailure;
  }
  switch (CpuFreqPin::restoreLeftover(err)) {
    case CpuFreqPin::Leftover::None:
      out << "Nothing to restore: " << CpuFreqPin::statePath() << " does not exist.\n";
      return ExitSuccess;
    case CpuFreqPin::Leftover::Restored:
      return ExitSuccess;
    case CpuFreqPin::Leftover::Failed:
      break;
  }
  return ExitFailure;
}

}  // namespace qvprof
}  // namespace Quorvel
