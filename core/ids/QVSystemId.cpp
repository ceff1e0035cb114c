#include "ids/QVSystemId.h"

#include <unistd.h>

#include <fstream>
#include <ostream>

#include <boost/algorithm/string/trim.hpp>

namespace Quorvel {

namespace {

std::string HostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
    return "localhost";
  }
  return buffer;
}

std::string MachineIdentifier(const std::string& hostName) {
  std::ifstream file("/etc/machine-id");
  std::string identifier;
  if (file && std::getline(file, identifier)) {
    boost::algorithm::trim(identifier);
    if (!identifier.empty()) {
      return identifier;
    }
  }
  return hostName;
}

}  // namespace

QVSystemId QVSystemId::currentSystemId() {
  static const QVSystemId current = [] {
    const std::string hostName = HostName();
    return uniqueSystemId(MachineIdentifier(hostName), hostName);
  }();
  return current;
}

void QVSystemId::_describe(std::ostream& os) const { os << "system " << (name().empty() ? identifier() : name()); }

}  // namespace Quorvel
