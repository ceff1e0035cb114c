#include "SyscallNames.h"

#include <cstdlib>
#include <sstream>

#include "system/QVFileUtils.h"

namespace Quorvel {
namespace qvprof {

const SyscallNames& SyscallNames::machine() {
  static const SyscallNames names = [] {
    // Multiarch Debian keeps the header under the triplet; other layouts
    // under asm/ directly.
    for (const char* path : {"/usr/include/x86_64-linux-gnu/asm/unistd_64.h", "/usr/include/asm/unistd_64.h"}) {
      std::string text;
      if (FileReadString(path, text) && !text.empty()) return fromHeader(text);
    }
    return SyscallNames();
  }();
  return names;
}

SyscallNames SyscallNames::fromHeader(const std::string& text) {
  SyscallNames names;
  std::istringstream in(text);
  std::string line;
  const std::string prefix = "__NR_";
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string define, symbol, value;
    if (!(words >> define >> symbol >> value) || define != "#define" || symbol.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    char* end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0' || number < 0 || number > 100000) continue;
    names.names_.emplace(static_cast<int>(number), symbol.substr(prefix.size()));
  }
  return names;
}

std::string SyscallNames::name(int number) const {
  const auto found = names_.find(number);
  return found != names_.end() ? found->second : "syscall_" + std::to_string(number);
}

}  // namespace qvprof
}  // namespace Quorvel
