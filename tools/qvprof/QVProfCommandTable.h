#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "QVProfCommand.h"

namespace Quorvel {
namespace qvprof {

// The commands of qvprof, in the order the help lists them.
class QVProfCommandTable {
 public:
  static std::vector<std::unique_ptr<QVProfCommand>> commands();
  // Null for a word that names no command.
  static std::unique_ptr<QVProfCommand> find(const std::string& name);
  // The top-level help: usage and the list of commands.
  static void writeHelp(std::ostream& os);
};

}  // namespace qvprof
}  // namespace Quorvel
