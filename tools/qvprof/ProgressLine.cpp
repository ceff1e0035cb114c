#include "ProgressLine.h"

#include <unistd.h>

#include <iomanip>
#include <ostream>
#include <sstream>

namespace Quorvel {
namespace qvprof {

namespace {

// Carriage return, then the text, then "erase to end of line" so a shorter
// line leaves no remains of a longer one.
const char* const kEraseToEnd = "\033[K";

}  // namespace

ProgressLine::ProgressLine(std::ostream& os, bool enabled, double redrawSeconds)
    : os_(os), enabled_(enabled), redrawSeconds_(redrawSeconds) {}

ProgressLine::~ProgressLine() { finish(); }

std::string ProgressLine::text(double elapsedSeconds, uint64_t samples, size_t threads) {
  std::ostringstream line;
  line << "Recording: " << std::fixed << std::setprecision(1) << elapsedSeconds << " s, " << samples
       << (samples == 1 ? " sample, " : " samples, ") << threads << (threads == 1 ? " thread" : " threads");
  return line.str();
}

bool ProgressLine::due(double elapsedSeconds) const {
  return enabled_ && (!drawn_ || elapsedSeconds - lastDrawn_ >= redrawSeconds_);
}

bool ProgressLine::update(double elapsedSeconds, uint64_t samples, size_t threads) {
  if (!due(elapsedSeconds)) return false;
  os_ << '\r' << text(elapsedSeconds, samples, threads) << kEraseToEnd << std::flush;
  drawn_ = true;
  lastDrawn_ = elapsedSeconds;
  return true;
}

void ProgressLine::finish() {
  if (!drawn_) return;
  os_ << '\r' << kEraseToEnd << std::flush;
  drawn_ = false;
}

bool ProgressLine::isTerminal(int fd) { return isatty(fd) == 1; }

}  // namespace qvprof
}  // namespace Quorvel
