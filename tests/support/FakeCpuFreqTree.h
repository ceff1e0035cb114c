#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace Quorvel {
namespace test {

// A /sys tree of cpufreq directories under a scratch directory, for code
// pointed at it with QVSystemPaths::ScopedRoot(tree.root()). Files hold what
// the kernel would show (frequencies in kHz); writes to them simply replace
// the text, so a test reads back what was written.
class FakeCpuFreqTree {
 public:
  // One processor's files; the defaults are a laptop-like policy running
  // "powersave" between its lowest and highest frequency.
  struct Processor {
    std::string governors = "performance powersave";
    std::string frequencies = "800000 1600000 2400000";
    std::string governor = "powersave";
    uint64_t minimum = 800000;
    uint64_t maximum = 2400000;
    uint64_t current = 1600000;
    std::string setspeed = "<unsupported>";
  };

  // Declares processors 0 to processorCount - 1 in
  // /sys/devices/system/cpu/possible; none has a cpufreq directory yet.
  explicit FakeCpuFreqTree(unsigned processorCount);

  const std::string& root() const { return scratch_.path(); }
  // Gives processor `index` a cpufreq directory with these files.
  void addProcessor(unsigned index, const Processor& processor);
  void addProcessor(unsigned index) { addProcessor(index, Processor()); }
  // A cpufreq file of a processor, e.g. ("scaling_governor", 0): its path
  // below the root, and its text without surrounding white space.
  std::string path(unsigned index, const std::string& file) const;
  std::string read(unsigned index, const std::string& file) const;
  void write(unsigned index, const std::string& file, const std::string& text) const;
  // Every file of every processor, "cpuN/file=text" one a line, to compare
  // a whole tree before and after.
  std::string snapshot() const;
  // Lets /proc, /dev, /etc, /lib, /usr/share and /opt of the root be the
  // machine's own, for code that samples real processes under the root.
  void linkRealSystemTrees() const;

 private:
  ScratchDirectory scratch_;
  unsigned count_;
};

}  // namespace test
}  // namespace Quorvel
