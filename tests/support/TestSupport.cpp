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

bool AppendProbeOutput(std::string& pending, const char* data, size_t size, std::vector<std::string>& lines) {
  pending.append(data, size);
  size_t newline;
  while ((newline = pending.find('\n')) != std::string::npos) {
    std::string line = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    if (line == "ready") {
      return true;
    }
    lines.push_back(std::move(line));
  }
  return false;
}

const char* ProbeLineValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const std::string& line : lines) {
    if (line.compare(0, key.size() + 1, key + " ") == 0) {
      return line.c_str() + key.size() + 1;
    }
  }
  return nullptr;
}

}  // namespace test
}  // namespace Quorvel
