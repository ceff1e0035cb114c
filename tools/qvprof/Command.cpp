#include "Command.h"

#include <ostream>

#include "LogOptions.h"

namespace Quorvel {
namespace qvprof {

int Command::run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Arguments parsed = arguments();
  parsed.parse(args);
  if (parsed.helpRequested()) {
    parsed.writeHelp(out);
    return ExitSuccess;
  }
  LogOptions logging(parsed);
  return _execute(parsed, out, err);
}

}  // namespace qvprof
}  // namespace Quorvel
