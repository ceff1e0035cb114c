#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cpufreq/QVCpuFreqDriver.h"

namespace Quorvel {

// The settings a pinning process must put back, kept in a small text file
// while the processors are pinned, so that a later process can restore them
// when the pinning one ended without doing so (killed, crashed, power cut).
//
// The text is a header line "cpufreq-state 1" and one line per processor:
//   cpu INDEX governor NAME min KHZ max KHZ user KHZ
// Governor names never hold blanks; "-" stands for a governor that could not
// be read.
class QVCpuFreqState {
 public:
  struct Entry {
    unsigned index = 0;
    QVCpuFreqDriver::Settings settings;
  };

  // Processor indices above this are refused: no machine has them, and a
  // damaged file must not make a reader build a huge table.
  static constexpr unsigned kMaxIndex = 65535;

  static std::string encode(const std::vector<Entry>& entries);
  // The entries of every well-formed line, in file order. False when the
  // header is missing or any line is malformed; the good lines are kept
  // either way, so a damaged file still restores what it can.
  static bool decode(std::string_view text, std::vector<Entry>& entries);

  // Writes the file in one replacement, so a reader never sees half of it.
  // The directory must exist. False with a one-line reason.
  static bool write(const std::string& path, const std::vector<Entry>& entries, std::string& error);
  // False with a reason when the file cannot be read or is malformed (what
  // could be read is still in entries).
  static bool read(const std::string& path, std::vector<Entry>& entries, std::string& error);
};

}  // namespace Quorvel
