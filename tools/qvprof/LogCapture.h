#pragma once

#include <string>
#include <vector>

namespace Quorvel {
namespace qvprof {

// Captures what the library logs during one call, so that a refusal it only
// logs ("unable to set target process to init process") can become the
// one-line reason qvprof gives. Captures nest with any others.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Ends the capture (once) and returns what was logged.
  const std::string& stop();
  // The message of the last ERROR line of the captured text, without the
  // level word and the source location; empty when there is none.
  std::string lastError();

  // The same for any captured text.
  static std::string lastErrorIn(const std::string& text);
  // The messages of every WARNING and ERROR line of captured text, in order
  // and in the same plain form.
  static std::vector<std::string> problemsIn(const std::string& text);

 private:
  bool active_ = true;
  std::string text_;
};

}  // namespace qvprof
}  // namespace Quorvel
