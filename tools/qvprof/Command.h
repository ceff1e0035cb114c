#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "Arguments.h"

namespace Quorvel {
namespace qvprof {

// One qvprof command ("record", "report", ...). A command writes only to the
// streams it is given, so tests check its text in-process.
class Command {
 public:
  static constexpr int ExitSuccess = 0;
  static constexpr int ExitFailure = 1;  // the command could not do its job
  static constexpr int ExitUsage = 2;    // the command line was wrong

  virtual ~Command() = default;

  virtual std::string name() const = 0;
  // One line for the list of commands.
  virtual std::string summary() const = 0;
  // The command's option table, logging options included.
  virtual Arguments arguments() const = 0;

  // Parses args (the words after the command word), answers --help on out,
  // applies the logging options and executes. Returns the exit status.
  // Argument mistakes throw UsageError; failures the command meets
  // throw QVException or std::exception with a one-line message.
  int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

 protected:
  virtual int _execute(const Arguments& arguments, std::ostream& out, std::ostream& err) = 0;
};

}  // namespace qvprof
}  // namespace Quorvel
