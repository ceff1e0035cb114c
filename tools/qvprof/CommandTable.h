#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"

namespace Quorvel {
namespace qvprof {

// The commands of qvprof, in the order the help lists them.
class CommandTable {
 public:
  static std::vector<std::unique_ptr<Command>> commands();
  // Null for a word that names no command.
  static std::unique_ptr<Command> find(const std::string& name);
  // The top-level help: usage and the list of commands.
  static void writeHelp(std::ostream& os);
};

}  // namespace qvprof
}  // namespace Quorvel
