#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace Quorvel {
namespace test {

// A directory under $TMPDIR (or /tmp) that is removed with everything in it
// when the object goes out of scope.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& prefix = "qvtest");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Probe programs report "key value" lines and then "ready" on stdout.
// Appends what was read to `pending`, moves each complete line before the
// "ready" line into `lines`, and answers whether "ready" has arrived.
bool AppendProbeOutput(std::string& pending, const char* data, size_t size, std::vector<std::string>& lines);

// The text after "key " on the first line that starts with it, or null.
const char* ProbeLineValue(const std::vector<std::string>& lines, const std::string& key);

}  // namespace test
}  // namespace Quorvel
