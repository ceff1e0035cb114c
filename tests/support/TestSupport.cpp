#include "support/TestSupport.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

#include <boost/filesystem.hpp>

namespace Quorvel {
namespace test {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed for " + pattern);
  }
  path_ = buffer.data();
}

ScratchDirectory::~ScratchDirectory() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

std::string ScratchDirectory::file(const std::string& relative) const { return path_ + "/" + relative; }

}  // namespace test
}  // namespace Quorvel
