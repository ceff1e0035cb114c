#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <unordered_map>
#include <vector>

namespace Quorvel {

// A profile in speedscope's JSON file format: one table of frames shared by
// every profile, and one "sampled" profile per thread whose samples are
// stacks of indices into that table, outermost frame first, each with a
// weight (here a sample count, unit "none").
//
// Samples are kept in the order added, so the app's time-ordered view
// shows the thread's samples as recorded; consecutive samples with the same
// stack merge into one weighted sample, which keeps the file small for the
// long runs of equal stacks that loops give.
class QVSpeedscopeFile {
 public:
  struct Frame {
    std::string name;
    std::string file;  // the module; left out when empty
  };

  explicit QVSpeedscopeFile(std::string name) : name_(std::move(name)) {}

  // The frame's index in the shared table, added when new.
  uint32_t frameIndex(const Frame& frame);
  // Starts the profile that later samples go to.
  void beginProfile(const std::string& name);
  // One sample of the current profile (beginProfile first); `stack` is
  // outermost first and must name frames of this file.
  void addSample(const std::vector<uint32_t>& stack, double weight = 1.0);

  size_t frameCount() const { return frames_.size(); }
  size_t profileCount() const { return profiles_.size(); }

  // The file: "$schema", "name", "exporter", "activeProfileIndex",
  // "shared": {"frames"}, then "profiles".
  void write(std::ostream& out) const;

 private:
  struct Profile {
    std::string name;
    std::vector<std::vector<uint32_t>> samples;
    std::vector<double> weights;
    double total = 0;
  };

  std::string name_;
  std::vector<Frame> frames_;
  std::unordered_map<std::string, uint32_t> frameIndex_;  // by name, NUL, file
  std::vector<Profile> profiles_;
};

}  // namespace Quorvel
