#pragma once

#include <string>
#include <vector>

#include "support/ProgramRun.h"

// The built qvprof, run as a user runs it. Only the front end's tests are
// given QV_QVPROF_PATH, so only they include this.
namespace Quorvel {
namespace test {

inline std::vector<std::string> QvprofArgs(std::vector<std::string> args) {
  args.insert(args.begin(), QV_QVPROF_PATH);
  return args;
}

inline ProgramResult RunQvprof(const std::vector<std::string>& args, double timeoutSeconds = 60.0) {
  return RunProgram(QvprofArgs(args), timeoutSeconds);
}

}  // namespace test
}  // namespace Quorvel
