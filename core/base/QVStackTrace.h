#pragma once

#include <string>

namespace Quorvel {

// The calling thread's stack as text, for exceptions and for log lines whose
// level asks for the caller's stack.
class QVStackTrace {
 public:
  // One demangled frame a line, innermost first, without a trailing newline.
  // The frames of capture() itself and the innermost `skipFrames` frames of
  // its caller are left out. Empty when the stack cannot be walked.
  static std::string capture(int skipFrames = 0);

  // The trace without its innermost frames whose function name begins with
  // `functionPrefix`. For frames that are skipped by what they are rather
  // than by how many there are (constructors may be one frame or two, and
  // inlining differs between builds).
  static std::string dropLeadingFrames(std::string trace, const std::string& functionPrefix);
};

}  // namespace Quorvel
