#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace Quorvel {
namespace qvprof {

// The one-line status shown while recording, redrawn in place. Drawn only
// when enabled (qvprof enables it when stderr is a terminal), so logs and
// pipes never receive carriage returns.
class ProgressLine {
 public:
  ProgressLine(std::ostream& os, bool enabled, double redrawSeconds = 0.5);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Whether update() at this time would draw, so that callers gather the
  // numbers (which may mean waiting for a busy recorder) only then.
  bool due(double elapsedSeconds) const;
  // Redraws when redrawSeconds have passed on the caller's clock since the
  // last drawing (the first call always draws). True when it drew.
  bool update(double elapsedSeconds, uint64_t samples, size_t threads);
  // Erases the line, so what follows starts on a clean line. Idempotent.
  void finish();

  bool enabled() const { return enabled_; }

  // "Recording: 12.5 s, 1234 samples, 4 threads".
  static std::string text(double elapsedSeconds, uint64_t samples, size_t threads);
  static bool isTerminal(int fd);

 private:
  std::ostream& os_;
  bool enabled_;
  double redrawSeconds_;
  bool drawn_ = false;
  double lastDrawn_ = 0.0;
};

}  // namespace qvprof
}  // namespace Quorvel
