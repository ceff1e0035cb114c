#pragma once

#include <string>

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

}  // namespace test
}  // namespace Quorvel
