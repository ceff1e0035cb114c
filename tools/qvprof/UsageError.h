#pragma once

#include <stdexcept>
#include <string>

namespace Quorvel {
namespace qvprof {

// A mistake in the command line. The message names the argument at fault;
// main prints it on one line and exits with the usage status, so that
// scripts can tell a wrong invocation from a failed recording.
class UsageError : public std::runtime_error {
 public:
  // command is the command word ("record"), empty for the top level.
  UsageError(const std::string& command, const std::string& message);

  const std::string& command() const { return command_; }

 private:
  std::string command_;
};

}  // namespace qvprof
}  // namespace Quorvel
